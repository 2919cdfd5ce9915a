#pragma once
#include <cstddef>
#include <cstdint>

namespace vserver {

// Energy voice-activity detection that cuts a stream of 16 kHz audio into
// sentences: a sentence ends after `maxSilenceMs` of quiet following voice
// (a lone click makes a sentence too, which the recogniser finds empty); a stretch with no voice is
// dropped after 10 s, and a sentence that never pauses is cut at 30 s. The noise floor follows
// quiet frames quickly and loud ones very slowly. Thread: one caller at a time.
class VoiceActivity {
  public:
    static constexpr int kRate = 16000;
    static constexpr size_t kFrame = 160;  // 10 ms

    enum class Cut {
        none,      // keep going
        sentence,  // a sentence ended at this frame
        noise,     // nothing but noise so far: drop it and start again
    };

    explicit VoiceActivity(int maxSilenceMs);

    // Feeds samples; `onCut(cut, endSample)` is called at each cut with the
    // stream position (in samples, from the start) where it falls, always the
    // end of a 10 ms frame inside this call's samples.
    template <class OnCut>
    void feed(const int16_t* s, size_t n, OnCut&& onCut) {
        for (size_t i = 0; i < n;) {
            const size_t take = kFrame - fill_ < n - i ? kFrame - fill_ : n - i;
            for (size_t j = i; j < i + take; ++j) energy_ += double(s[j]) * double(s[j]);
            fill_ += take;
            i += take;
            if (fill_ < kFrame) break;
            const Cut cut = frame(pos_ + int64_t(i));
            if (cut != Cut::none) onCut(cut, pos_ + int64_t(i));
        }
        pos_ += int64_t(n);
    }

    // Starts a new sentence at `at` (after a cut).
    void restart(int64_t at);

    bool inVoice() const { return voiced_ > 0; }
    int64_t sentenceStart() const { return start_; }
    int64_t lastVoice() const { return lastVoice_; }
    int64_t position() const { return pos_; }

  private:
    Cut frame(int64_t at);

    const int64_t maxSilence_;
    size_t fill_ = 0;
    double energy_ = 0;
    double noise_ = -60;
    int64_t pos_ = 0, start_ = 0, voiced_ = 0, silence_ = 0, lastVoice_ = 0;
};

}  // namespace vserver

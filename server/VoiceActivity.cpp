#include "VoiceActivity.h"

#include <algorithm>
#include <cmath>

namespace vserver {

namespace {
constexpr int64_t kQuietRestart = 10 * VoiceActivity::kRate;     // 10 s
constexpr int64_t kLongestSentence = 30 * VoiceActivity::kRate;  // 30 s
}  // namespace

VoiceActivity::VoiceActivity(int maxSilenceMs)
    : maxSilence_(int64_t(std::max(0, maxSilenceMs)) * kRate / 1000) {}

void VoiceActivity::restart(int64_t at) {
    start_ = at;
    voiced_ = silence_ = 0;
    lastVoice_ = at;
}

VoiceActivity::Cut VoiceActivity::frame(int64_t at) {
    const double db = 10.0 * std::log10(energy_ / double(kFrame) + 1e-3) - 90.309;
    fill_ = 0;
    energy_ = 0;
    const bool voiced = db > std::max(noise_ + 12.0, -50.0);
    noise_ += (voiced ? 0.001 : 0.05) * (db - noise_);
    noise_ = std::clamp(noise_, -90.0, -20.0);
    if (voiced) {
        voiced_ += kFrame;
        silence_ = 0;
        lastVoice_ = at;
    } else {
        silence_ += kFrame;
    }
    if (voiced_ > 0 && silence_ >= maxSilence_) return Cut::sentence;  // a click ends too
    if (voiced_ == 0 && at - start_ >= kQuietRestart) return Cut::noise;
    if (voiced_ > 0 && at - start_ >= kLongestSentence) return Cut::sentence;
    return Cut::none;
}

}  // namespace vserver

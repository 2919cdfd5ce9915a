#include "PocketsphinxEngine.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <cctype>
#include <cmath>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>

#include "LetterToSound.h"
#include "ServerLog.h"
#include "VoiceActivity.h"
#include "cleanup/Recognised.h"

namespace vserver {

namespace {

constexpr int kRate = 16000;
// Words added to the decoders' dictionaries over the server's life; each costs
// a little memory in every decoder that learns it.
constexpr int kMostAddedWords = 20000;
std::atomic<int> gAdded{0};
constexpr int64_t kPartialEvery = kRate * 3 / 10;  // partial results every 300 ms of audio

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string paths(const std::string& dir, const char* leaf) {
    return dir + "/" + leaf;
}

struct DecoderFree {
    void operator()(ps_decoder_t* d) const { ps_free(d); }
};
struct ConfigFree {
    void operator()(cmd_ln_t* c) const { cmd_ln_free_r(c); }
};
struct CkdFree {
    void operator()(void* p) const { ckd_free(p); }
};

using Decoder = std::unique_ptr<ps_decoder_t, DecoderFree>;

Decoder loadDecoder(const PocketsphinxEngine::Options& o) {
    // The library's configuration and logging are global: load one at a time.
    static std::mutex loading;
    std::lock_guard lock(loading);
    const std::string hmm = paths(o.modelDir, "en-us"), lm = paths(o.modelDir, "en-us.lm.bin"),
                      dict = paths(o.modelDir, "cmudict-en-us.dict");
    // The decoder keeps a reference of its own to the configuration.
    const std::unique_ptr<cmd_ln_t, ConfigFree> config(
        cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                    dict.c_str(), "-logfn", "/dev/null",
                    // Bounds the search per frame: noisy audio otherwise wakes so many
                    // models that decoding falls behind real time.
                    "-maxhmmpf", "8000", static_cast<const char*>(nullptr)));
    if (!config) return nullptr;
    return Decoder(ps_init(config.get()));
}

}  // namespace

std::string applyHotwordSpelling(const std::string& text,
                                 const std::vector<std::pair<std::string, int>>& vocabulary) {
    if (vocabulary.empty()) return text;
    std::vector<std::vector<std::string>> phrases;
    for (const auto& entry : vocabulary) {
        auto w = words(entry.first);
        if (!w.empty()) phrases.push_back(std::move(w));
    }
    std::stable_sort(phrases.begin(), phrases.end(),
                     [](const auto& a, const auto& b) { return a.size() > b.size(); });
    std::vector<std::string> tokens = words(text);
    std::string out;
    for (size_t i = 0; i < tokens.size();) {
        size_t used = 1;
        std::vector<std::string> replacement{tokens[i]};
        for (const auto& phrase : phrases) {
            if (i + phrase.size() > tokens.size()) continue;
            bool match = true;
            for (size_t k = 0; k < phrase.size() && match; ++k)
                match = lower(tokens[i + k]) == lower(phrase[k]);
            if (match) {
                used = phrase.size();
                replacement = phrase;
                break;
            }
        }
        for (const auto& w : replacement) {
            if (!out.empty()) out += ' ';
            out += w;
        }
        i += used;
    }
    return out;
}

// ---------- decoder pool ----------

// Thread: any; lenders are called on the thread that acquires or returns a decoder.
class PocketsphinxEngine::Pool {
  public:
    using Lend = std::function<void(Decoder)>;  // null: no decoder could be loaded

    explicit Pool(Options o) : options_(std::move(o)) {}

    // Lends a decoder now (loading one if the pool may grow) or once one is returned.
    void acquire(Lend lend) {
        Decoder d;
        bool load = false;
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                d = std::move(free_.back());
                free_.pop_back();
            } else if (created_ < std::max(1, options_.decoders)) {
                ++created_;
                load = true;
            } else {
                waiters_.push_back(std::move(lend));
                return;
            }
        }
        if (load) {
            d = loadDecoder(options_);
            if (!d) {
                log("asr: pocketsphinx could not load its model from " + options_.modelDir);
                std::lock_guard lock(mutex_);
                --created_;
            } else {
                log("asr: pocketsphinx decoder " + std::to_string(created_) + " loaded");
            }
        }
        lend(std::move(d));
    }

    void release(Decoder d) {
        if (!d) return;
        Lend next;
        {
            std::lock_guard lock(mutex_);
            if (waiters_.empty()) {
                free_.push_back(std::move(d));
                return;
            }
            next = std::move(waiters_.front());
            waiters_.pop_front();
        }
        next(std::move(d));
    }

    size_t waiting() const {
        std::lock_guard lock(mutex_);
        return waiters_.size();
    }

  private:
    const Options options_;
    mutable std::mutex mutex_;
    std::vector<Decoder> free_;
    std::deque<Lend> waiters_;
    int created_ = 0;
};

// ---------- one task ----------

class PocketsphinxEngine::Task : public WorkerTask {
  public:
    Task(boost::asio::thread_pool& workers, std::shared_ptr<RecognitionListener> listener,
         std::shared_ptr<Pool> pool, AsrParams params)
        : WorkerTask(workers, std::move(listener)),
          pool_(std::move(pool)),
          params_(std::move(params)),
          vad_(params_.maxSentenceSilenceMs) {}

    void begin() {
        auto self = std::static_pointer_cast<Task>(shared_from_this());
        if (pool_->waiting() > 0)
            log("asr: task " + params_.taskId + " waits for a free pocketsphinx decoder");
        onStrand([self] {
            self->pool_->acquire([self](Decoder d) {
                boost::asio::post(self->strand_,
                                  [self, d = std::move(d)]() mutable { self->lent(std::move(d)); });
            });
        });
    }

  private:
    void lent(Decoder d) {
        if (cancelled()) return pool_->release(std::move(d));
        if (!d) return reportFailed("engine-error", "the recogniser's model could not be loaded");
        decoder_ = std::move(d);
        checkVocabulary();  // words are added between utterances only
        ps_start_utt(decoder_.get());
        inUtt_ = true;
        reportReady();
        runnable();
    }

    // Hotwords the dictionary lacks get a pronunciation by letter-to-sound, so
    // names and terms can be heard at all; the decoder keeps them for later tasks.
    void checkVocabulary() {
        if (params_.vocabulary.empty()) return;
        std::vector<std::string> unknown, spelledOut;
        std::vector<std::pair<std::string, std::string>> toAdd;  // word, phones
        for (const auto& [phrase, weight] : params_.vocabulary) {
            bool known = true;
            for (const auto& w : words(phrase)) {
                const std::string key = lower(w);
                const std::unique_ptr<char, CkdFree> phones(
                    ps_lookup_word(decoder_.get(), key.c_str()));
                if (phones) continue;
                bool queued = false;
                for (const auto& a : toAdd) queued = queued || a.first == key;
                if (queued) continue;
                auto sounds = pronounce(w);
                if (sounds && gAdded.load() < kMostAddedWords) {
                    toAdd.emplace_back(key, std::move(*sounds));
                    spelledOut.push_back(w);
                } else {
                    known = false;
                }
            }
            if (known)
                spelled_.emplace_back(phrase, weight);
            else
                unknown.push_back(phrase);
        }
        for (size_t i = 0; i < toAdd.size(); ++i) {
            const bool last = i + 1 == toAdd.size();
            if (ps_add_word(decoder_.get(), toAdd[i].first.c_str(), toAdd[i].second.c_str(),
                            last ? TRUE : FALSE) < 0)
                log("asr: pocketsphinx refused the word \"" + toAdd[i].first + "\" (" +
                    toAdd[i].second + ")");
            else
                gAdded.fetch_add(1);
        }
        std::string line = "asr: task " + params_.taskId + ": " + std::to_string(spelled_.size()) +
                           " hotwords known to pocketsphinx (their spelling is kept)";
        if (!spelledOut.empty()) {
            line +=
                "; " + std::to_string(spelledOut.size()) + " words spelled out by letter-to-sound:";
            for (size_t i = 0; i < spelledOut.size() && i < 10; ++i)
                line += " \"" + spelledOut[i] + "\"";
            if (spelledOut.size() > 10) line += " ...";
        }
        if (!unknown.empty()) {
            line += "; " + std::to_string(unknown.size()) + " with no pronunciation, not used:";
            for (size_t i = 0; i < unknown.size() && i < 10; ++i) line += " \"" + unknown[i] + "\"";
            if (unknown.size() > 10) line += " ...";
        }
        log(line);
    }

    void process(const int16_t* s, size_t n) override {
        if (!decoder_) return;
        const int64_t base = vad_.position();
        size_t flushed = 0;
        vad_.feed(s, n, [&](VoiceActivity::Cut cut, int64_t at) {
            const size_t upTo = size_t(at - base);
            decode(s + flushed, upTo - flushed);
            flushed = upTo;
            if (cut == VoiceActivity::Cut::sentence)
                endSentence(at);
            else
                restart(at);  // a long stretch of noise: drop it, keep memory flat
        });
        decode(s + flushed, n - flushed);
        pos_ = vad_.position();
        partial();
    }

    void decode(const int16_t* s, size_t n) {
        if (n) ps_process_raw(decoder_.get(), s, n, FALSE, FALSE);
    }

    std::string hypothesis() {
        const char* hyp = ps_get_hyp(decoder_.get(), nullptr);
        return applyHotwordSpelling(hyp ? hyp : "", spelled_);
    }

    void endSentence(int64_t at) {
        ps_end_utt(decoder_.get());
        const std::string text = cleanup::shapeRecognisedSentence(hypothesis());
        if (!text.empty() || partialSent_) {
            reportSentence(
                {text, true, vad_.sentenceStart() * 1000 / kRate, vad_.lastVoice() * 1000 / kRate});
        }
        ps_start_utt(decoder_.get());
        resetUtterance(at);
    }

    void restart(int64_t at) {
        ps_end_utt(decoder_.get());
        ps_start_utt(decoder_.get());
        resetUtterance(at);
    }

    void resetUtterance(int64_t at) {
        vad_.restart(at);
        lastPartialAt_ = at;
        partialSent_ = false;
        lastPartial_.clear();
    }

    void partial() {
        if (!vad_.inVoice() || pos_ - lastPartialAt_ < kPartialEvery) return;
        lastPartialAt_ = pos_;
        const std::string text = hypothesis();
        if (text.empty() || text == lastPartial_) return;
        lastPartial_ = text;
        partialSent_ = true;
        reportSentence({text, false, vad_.sentenceStart() * 1000 / kRate, std::nullopt});
    }

    void end() override {
        if (!decoder_) return reportFailed("engine-error", "the recogniser was not ready");
        ps_end_utt(decoder_.get());
        inUtt_ = false;
        const std::string text = cleanup::shapeRecognisedSentence(hypothesis());
        if (!text.empty() || partialSent_)
            reportSentence({text, true, vad_.sentenceStart() * 1000 / kRate,
                            (vad_.inVoice() ? vad_.lastVoice() : pos_) * 1000 / kRate});
        reportFinished();
    }

    void release() override {
        if (!decoder_) return;
        if (inUtt_) ps_end_utt(decoder_.get());
        inUtt_ = false;
        pool_->release(std::move(decoder_));
    }

    std::shared_ptr<Pool> pool_;
    const AsrParams params_;
    std::vector<std::pair<std::string, int>> spelled_;
    Decoder decoder_;  // while lent to this task
    bool inUtt_ = false;
    VoiceActivity vad_;
    int64_t pos_ = 0;  // samples seen
    int64_t lastPartialAt_ = 0;
    bool partialSent_ = false;
    std::string lastPartial_;
};

// ---------- engine ----------

std::optional<std::string> PocketsphinxEngine::check(const Options& o) {
    for (const char* leaf : {"en-us/mdef", "en-us.lm.bin", "cmudict-en-us.dict"}) {
        std::error_code ec;
        if (!std::filesystem::exists(paths(o.modelDir, leaf), ec))
            return "pocketsphinx model file " + paths(o.modelDir, leaf) +
                   " is missing (Debian package pocketsphinx-en-us)";
    }
    return std::nullopt;
}

PocketsphinxEngine::PocketsphinxEngine(boost::asio::thread_pool& pool, Options options)
    : workers_(pool), pool_(std::make_shared<Pool>(std::move(options))) {}

PocketsphinxEngine::~PocketsphinxEngine() = default;

void PocketsphinxEngine::preload() {
    boost::asio::post(workers_, [pool = pool_] {
        pool->acquire([pool](Decoder d) { pool->release(std::move(d)); });
    });
}

std::shared_ptr<RecognitionTask> PocketsphinxEngine::start(
    const AsrParams& params, std::shared_ptr<RecognitionListener> listener) {
    auto task = std::make_shared<Task>(workers_, std::move(listener), pool_, params);
    task->begin();
    return task;
}

}  // namespace vserver

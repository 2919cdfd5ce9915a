#include "PocketsphinxEngine.h"

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/feat.h>

#include <pthread.h>
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
    const std::unique_ptr<cmd_ln_t, ConfigFree> config(cmd_ln_init(
        nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict", dict.c_str(),
        "-logfn", "/dev/null",
        // Bounds the search per frame: noisy audio otherwise wakes so many
        // models and words that decoding falls behind real time. With the
        // second, flat-lexicon pass left out this halves the CPU per second of
        // noisy speech (a third of clean) for about one word in a hundred.
        "-maxhmmpf", "4000", "-maxwpf", "10", "-fwdflat", "no", static_cast<const char*>(nullptr)));
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

// A loaded decoder with the values its cepstral normalisation starts from, so that each
// utterance is heard the same whatever the decoder heard before.
struct Loaded {
    Decoder decoder;
    std::vector<mfcc_t> cmnStart;

    explicit operator bool() const { return decoder != nullptr; }
    void startUtterance() {
        if (cmn_t* cmn = ps_get_feat(decoder.get())->cmn_struct; cmn && !cmnStart.empty())
            cmn_live_set(cmn, cmnStart.data());
        ps_start_utt(decoder.get());
    }
};

Loaded loadDecoderAndStart(const PocketsphinxEngine::Options& o) {
    Loaded l;
    l.decoder = loadDecoder(o);
    if (!l.decoder) return l;
    if (const cmn_t* cmn = ps_get_feat(l.decoder.get())->cmn_struct; cmn && cmn->cmn_mean)
        l.cmnStart.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
    return l;
}

// Thread: any; lenders are called on the thread that acquires or returns a decoder.
class PocketsphinxEngine::Pool {
  public:
    using Lend = std::function<void(Loaded)>;  // empty: no decoder could be loaded

    explicit Pool(Options o) : options_(std::move(o)) {}

    // Lends a decoder now (loading one if the pool may grow) or once one is returned.
    void acquire(Lend lend) {
        Loaded d;
        bool doLoad = false;
        {
            std::lock_guard lock(mutex_);
            if (!free_.empty()) {
                d = std::move(free_.back());
                free_.pop_back();
            } else if (created_ < std::max(1, options_.decoders)) {
                ++created_;
                doLoad = true;
            } else {
                waiters_.push_back(std::move(lend));
                return;
            }
        }
        if (doLoad) d = loadOne();
        lend(std::move(d));
    }

    // Loads one more decoder into the pool while it may still grow; false once it is full
    // or the model cannot be loaded.
    bool grow() {
        {
            std::lock_guard lock(mutex_);
            if (created_ >= std::max(1, options_.decoders)) return false;
            ++created_;
        }
        Loaded d = loadOne();
        if (!d) return false;
        release(std::move(d));
        return true;
    }

    void release(Loaded d) {
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

    EngineLoad state() const {
        std::lock_guard lock(mutex_);
        return {size_t(loaded_), size_t(loaded_) - free_.size(), waiters_.size()};
    }

  private:
    // Loads a decoder counted in created_ beforehand.
    Loaded loadOne() {
        Loaded d = loadDecoderAndStart(options_);
        std::lock_guard lock(mutex_);
        if (!d) {
            log("asr: pocketsphinx could not load its model from " + options_.modelDir);
            --created_;
        } else {
            ++loaded_;
            log("asr: pocketsphinx decoder " + std::to_string(loaded_) + " loaded");
        }
        return d;
    }

    const Options options_;
    mutable std::mutex mutex_;
    std::vector<Loaded> free_;
    std::deque<Lend> waiters_;
    int created_ = 0;  // loaded or loading
    int loaded_ = 0;
};

// ---------- one task ----------

// A task holds a decoder only while it has speech to decode: audio is cut into utterances
// by voice activity, an utterance with voice borrows a decoder from the pool, and gives it
// back when it ends. Audio that comes while the task waits for a decoder is kept, in order.
class PocketsphinxEngine::Task : public WorkerTask {
  public:
    Task(boost::asio::thread_pool& workers, std::shared_ptr<RecognitionListener> listener,
         std::shared_ptr<Pool> pool, AsrParams params)
        : WorkerTask(workers, std::move(listener)),
          pool_(std::move(pool)),
          params_(std::move(params)),
          vad_(params_.maxSentenceSilenceMs) {}

    // The task runs at once: a decoder is needed only once there is speech.
    void begin() {
        auto self = std::static_pointer_cast<Task>(shared_from_this());
        onStrand([self] {
            self->reportReady();
            self->runnable();
        });
    }

    size_t backlogBytes() const override { return WorkerTask::backlogBytes() + kept_.load() * 2; }

  private:
    // An utterance waiting for a decoder.
    struct Utterance {
        std::vector<int16_t> samples;
        bool voiced = false, closed = false;
        int64_t begin = 0, end = 0;  // samples from the start of the task
    };

    bool live() const { return decoder_ && queue_.empty(); }

    void want() {
        if (decoder_ || asking_) return;
        asking_ = true;
        const EngineLoad l = pool_->state();
        if (l.waiting > 0 || (l.loaded > 0 && l.busy >= l.loaded))
            log("asr: task " + params_.taskId + " waits for a free pocketsphinx decoder (" +
                std::to_string(l.waiting + 1) + " waiting)");
        auto self = std::static_pointer_cast<Task>(shared_from_this());
        pool_->acquire([self](Loaded d) {
            boost::asio::post(self->strand_,
                              [self, d = std::move(d)]() mutable { self->lent(std::move(d)); });
        });
    }

    void giveBack() {
        if (!decoder_) return;
        if (inUtt_) ps_end_utt(decoder_.decoder.get());
        inUtt_ = false;
        pool_->release(std::move(decoder_));
        decoder_ = Loaded{};
    }

    void lent(Loaded d) {
        asking_ = false;
        if (cancelled() || done_) return pool_->release(std::move(d));
        if (!d) return reportFailed("engine-error", "the recogniser's model could not be loaded");
        decoder_ = std::move(d);
        checkVocabulary();  // words are added between utterances only
        // Catch up with what was kept, oldest first; an unfinished one goes on live.
        while (!queue_.empty()) {
            // Quiet so far: it asks again once it has voice.
            if (!queue_.front().closed && !queue_.front().voiced) break;
            Utterance u = std::move(queue_.front());
            queue_.pop_front();
            kept_ -= u.samples.size();
            if (!u.voiced && u.closed) continue;
            decoder_.startUtterance();
            inUtt_ = true;
            decode(u.samples.data(), u.samples.size());
            if (!u.closed) break;
            finishUtterance(u.begin, u.end);
        }
        if (!inUtt_) giveBack();
        if (endAsked_ && !inUtt_ && queue_.empty()) complete();
    }

    // Hotwords the dictionary lacks get a pronunciation by letter-to-sound, so
    // names and terms can be heard at all; the decoder keeps them for later tasks.
    void checkVocabulary() {
        if (params_.vocabulary.empty()) return;
        std::vector<std::string> unknown, spelledOut;
        std::vector<std::pair<std::string, int>> spelled;
        std::vector<std::pair<std::string, std::string>> toAdd;  // word, phones
        for (const auto& [phrase, weight] : params_.vocabulary) {
            bool known = true;
            for (const auto& w : words(phrase)) {
                const std::string key = lower(w);
                const std::unique_ptr<char, CkdFree> phones(
                    ps_lookup_word(decoder_.decoder.get(), key.c_str()));
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
                spelled.emplace_back(phrase, weight);
            else
                unknown.push_back(phrase);
        }
        for (size_t i = 0; i < toAdd.size(); ++i) {
            const bool last = i + 1 == toAdd.size();
            if (ps_add_word(decoder_.decoder.get(), toAdd[i].first.c_str(), toAdd[i].second.c_str(),
                            last ? TRUE : FALSE) < 0)
                log("asr: pocketsphinx refused the word \"" + toAdd[i].first + "\" (" +
                    toAdd[i].second + ")");
            else
                gAdded.fetch_add(1);
        }
        if (vocabularyLogged_) return;
        vocabularyLogged_ = true;
        spelled_ = std::move(spelled);
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
        const int64_t base = vad_.position();
        size_t flushed = 0;
        vad_.feed(s, n, [&](VoiceActivity::Cut cut, int64_t at) {
            const size_t upTo = size_t(at - base);
            take(s + flushed, upTo - flushed);
            flushed = upTo;
            cutAt(cut, at);
        });
        take(s + flushed, n - flushed);
        pos_ = vad_.position();
        partial();
    }

    // Audio of the utterance under way: to the decoder when it is live, else kept.
    void take(const int16_t* s, size_t n) {
        if (live() && inUtt_) return decode(s, n);
        if (queue_.empty() || queue_.back().closed) {
            queue_.emplace_back();
            queue_.back().begin = vad_.sentenceStart();
        }
        Utterance& u = queue_.back();
        u.samples.insert(u.samples.end(), s, s + n);
        kept_ += n;
        u.voiced = u.voiced || vad_.inVoice();
        if (u.voiced) want();
    }

    void cutAt(VoiceActivity::Cut cut, int64_t at) {
        const int64_t begin = vad_.sentenceStart(), lastVoice = vad_.lastVoice();
        if (live() && inUtt_) {
            if (cut == VoiceActivity::Cut::sentence) finishUtterance(begin, lastVoice);
            giveBack();  // a long stretch of noise, or the sentence's end
        } else if (!queue_.empty() && !queue_.back().closed) {
            Utterance& u = queue_.back();
            if (cut == VoiceActivity::Cut::noise || !u.voiced) {
                kept_ -= u.samples.size();
                queue_.pop_back();  // nothing to hear: keep memory flat
            } else {
                u.closed = true;
                u.begin = begin;
                u.end = lastVoice;
            }
        }
        vad_.restart(at);
        lastPartialAt_ = at;
        partialSent_ = false;
        lastPartial_.clear();
    }

    void decode(const int16_t* s, size_t n) {
        if (n) ps_process_raw(decoder_.decoder.get(), s, n, FALSE, FALSE);
    }

    std::string hypothesis() {
        const char* hyp = ps_get_hyp(decoder_.decoder.get(), nullptr);
        return applyHotwordSpelling(hyp ? hyp : "", spelled_);
    }

    // Ends the decoder's utterance and reports its sentence.
    void finishUtterance(int64_t begin, int64_t end) {
        ps_end_utt(decoder_.decoder.get());
        inUtt_ = false;
        const std::string text = cleanup::shapeRecognisedSentence(hypothesis());
        if (!text.empty() || partialSent_)
            reportSentence({text, true, begin * 1000 / kRate, end * 1000 / kRate});
        partialSent_ = false;
    }

    void partial() {
        if (!live() || !inUtt_ || !vad_.inVoice() || pos_ - lastPartialAt_ < kPartialEvery) return;
        lastPartialAt_ = pos_;
        const std::string text = hypothesis();
        if (text.empty() || text == lastPartial_) return;
        lastPartial_ = text;
        partialSent_ = true;
        reportSentence({text, false, vad_.sentenceStart() * 1000 / kRate, std::nullopt});
    }

    void end() override {
        endAsked_ = true;
        const int64_t endAt = vad_.inVoice() ? vad_.lastVoice() : pos_;
        if (live() && inUtt_) {
            finishUtterance(vad_.sentenceStart(), endAt);
            giveBack();
        } else if (!queue_.empty() && !queue_.back().closed) {
            Utterance& u = queue_.back();
            u.closed = true;
            u.begin = vad_.sentenceStart();
            u.end = endAt;
        }
        // The last utterances may still wait for a decoder: the end is told once they are heard.
        if (queue_.empty() ||
            std::none_of(queue_.begin(), queue_.end(), [](const Utterance& u) { return u.voiced; }))
            return complete();
        want();
    }

    void complete() {
        if (done_) return;
        done_ = true;
        queue_.clear();
        kept_ = 0;
        reportFinished();
    }

    void release() override {
        // After end() the task may still wait for a decoder to hear its last words.
        if (endAsked_ && !done_ && !cancelled()) return;
        done_ = true;
        queue_.clear();
        kept_ = 0;
        giveBack();
    }

    std::shared_ptr<Pool> pool_;
    const AsrParams params_;
    std::vector<std::pair<std::string, int>> spelled_;
    Loaded decoder_;  // while lent to this task
    bool asking_ = false, inUtt_ = false, endAsked_ = false, done_ = false,
         vocabularyLogged_ = false;
    std::deque<Utterance> queue_;  // waiting for a decoder, oldest first
    std::atomic<size_t> kept_{0};  // samples in queue_
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
    // A live utterance holds its decoder for as long as it is spoken, so the pool is filled
    // at start: a burst of speakers then never waits for a load (a second or more each)
    // nor takes a recognition thread for one. The first decoder makes the server ready.
    if (preloader_.joinable()) return;
    preloader_ = std::jthread([pool = pool_](const std::stop_token& stop) {
        pthread_setname_np(pthread_self(), "asr-preload");
        while (!stop.stop_requested() && pool->grow()) {
        }
    });
}

bool PocketsphinxEngine::ready() const {
    return pool_->state().loaded > 0;
}

EngineLoad PocketsphinxEngine::load() const {
    return pool_->state();
}

std::shared_ptr<RecognitionTask> PocketsphinxEngine::start(
    const AsrParams& params, std::shared_ptr<RecognitionListener> listener) {
    auto task = std::make_shared<Task>(workers_, std::move(listener), pool_, params);
    task->begin();
    return task;
}

}  // namespace vserver

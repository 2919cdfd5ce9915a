// Word error rate of the recogniser on the real path: flite speaks a corpus of
// dictation-like sentences (four voices, two speaking rates, clean and with
// noise mixed in by sox), `velmora --test-asr` streams each recording to a
// `velmora-server` started here on loopback, and the transcript is scored
// against what was said. Also scores a folder of the user's own recordings
// (name.wav with name.txt beside it). Nothing is downloaded.
//
//   bench_asr_wer                      quick run: 6 sentences, rate 1.0, clean/20/10 dB
//   bench_asr_wer --full               all sentences, both rates
//   bench_asr_wer --recordings DIR     the user's recordings instead of the corpus
//   bench_asr_wer --engine E -- ARGS   another engine (ARGS go to velmora-server)
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "Corpus.h"
#include "WordErrors.h"

namespace {

struct Settings {
    QString buildDir = QStringLiteral(VELMORA_BUILD_DIR);
    QString engine = QStringLiteral("pocketsphinx");
    QStringList serverArgs;
    QStringList voices = {"awb", "rms", "slt", "kal"};
    QStringList rates = {"1.0"};
    QStringList noises = {"clean", "20", "10"};
    int sentences = 6;
    double gapSeconds = 1.0;
    QString recordings, keep, out;
    bool hotwords = true;
    // Recordings streamed at once, each at real time. More than one only on an
    // idle machine: a decoder that falls behind is cut off by the self-test's
    // 3 s finish time-out, which shows as deletions (and "cut" in the table).
    int jobs = 1;
};

void say(const QString& line) {
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

QString run(const QString& program, const QStringList& args, int* status = nullptr,
            int timeoutMs = 120000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
    }
    if (status) *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAll());
}

// RMS amplitude (0..1) of a sound file, from sox's statistics.
std::optional<double> rms(const QString& file) {
    const QString text = run("sox", {file, "-n", "stat"});
    static const QRegularExpression line(R"(RMS\s+amplitude:\s+([0-9.eE+-]+))");
    const auto m = line.match(text);
    if (!m.hasMatch()) return std::nullopt;
    return m.captured(1).toDouble();
}

double seconds(const QString& file) {
    return run("soxi", {"-D", file}).trimmed().toDouble();
}

// CPU seconds a process has used so far.
double cpuOf(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QString s = QString::fromLatin1(f.readAll());
    const QStringList fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

class Server {
  public:
    bool start(const Settings& s, const QString& home) {
        p_.setProgram(s.buildDir + "/server/velmora-server");
        p_.setArguments(QStringList{"--listen", "127.0.0.1:0", "--token", "wer-token", "--workers",
                                    "2", "--asr-decoders", QString::number(s.jobs), "--asr-engine",
                                    s.engine, "--data-dir", home + "/server"} +
                        s.serverArgs);
        p_.setProcessChannelMode(QProcess::SeparateChannels);
        p_.setStandardErrorFile(home + "/server.log");
        p_.start();
        if (!p_.waitForStarted(5000)) return false;
        static const QRegularExpression listening(R"(listening on http://127\.0\.0\.1:(\d+))");
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 30000 && p_.state() == QProcess::Running) {
            QFile log(home + "/server.log");
            if (log.open(QIODevice::ReadOnly)) {
                const auto m = listening.match(QString::fromUtf8(log.readAll()));
                if (m.hasMatch()) {
                    port_ = m.captured(1).toInt();
                    return true;
                }
            }
            p_.waitForFinished(100);  // the server's log has no signal of its own
        }
        return false;
    }
    ~Server() {
        if (p_.state() == QProcess::NotRunning) return;
        p_.terminate();
        if (!p_.waitForFinished(5000)) p_.kill();
        p_.waitForFinished(2000);
    }
    int port() const { return port_; }
    double cpu() const { return cpuOf(p_.processId()); }

  private:
    QProcess p_;
    int port_ = 0;
};

struct Row {
    QString engine, voice, rate, noise;
    wer::Errors errors;
    int hotFound = 0, hotSaid = 0;
    double audioSeconds = 0, serverCpu = 0, tailMs = 0;
    int failures = 0;
    int cut = 0;  // transcripts the finish time-out cut short
};

struct Heard {
    bool ok = false;
    QString raw, error;
    double tailMs = 0;
};

Heard testAsr(const Settings& s, const QString& home, int port, const QString& wav,
              const QStringList& hotwords) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/.config");
    env.insert("XDG_STATE_HOME", home + "/.state");
    env.insert("XDG_DATA_HOME", home + "/.data");
    env.insert("VQ_SERVER", QStringLiteral("http://127.0.0.1:%1").arg(port));
    env.insert("VQ_SERVER_TOKEN", "wer-token");
    env.insert("VQ_HOTWORDS", hotwords.join(','));
    // At real time, as a microphone would: a faster feed piles audio up in the
    // decoder and the self-test's short finish time-out cuts the last words.
    env.insert("VQ_TEST_REALTIME", "1");
    p.setProcessEnvironment(env);
    p.start(s.buildDir + "/src/app/velmora", {"--test-asr", wav});
    Heard h;
    if (!p.waitForFinished(600000)) {
        p.kill();
        p.waitForFinished();
        h.error = "velmora --test-asr did not finish";
        return h;
    }
    static const QRegularExpression raw(
        R"(^\[raw\] \((-?\d+)ms after last byte, \d+ms total\) ?(.*)$)");
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
        if (const auto m = raw.match(line); m.hasMatch()) {
            h.ok = true;
            h.tailMs = m.captured(1).toDouble();
            h.raw = m.captured(2);
        } else if (line.startsWith("[error] ")) {
            h.error = line.mid(8);
        }
    }
    if (!h.ok && h.error.isEmpty()) h.error = "no transcript";
    return h;
}

// Speech of one voice at one rate: the sentences with a pause after each.
// Answers the clean file and the speech-only loudness, or an error.
std::optional<double> speak(const Settings& s, const QString& dir, const QString& voice,
                            const QString& rate, const std::vector<wer::Line>& lines,
                            const QString& clean, QString& error) {
    QStringList padded, bare;
    for (size_t i = 0; i < lines.size(); ++i) {
        const QString raw = QStringLiteral("%1/%2-%3-%4.wav").arg(dir, voice, rate).arg(i);
        int status = 0;
        const QString out = run("flite",
                                {"-voice", voice, "--setf", "duration_stretch=" + rate, "-t",
                                 QString::fromUtf8(lines[i].text), "-o", raw},
                                &status);
        if (status != 0) {
            error = "flite failed: " + out.trimmed();
            return std::nullopt;
        }
        const QString norm = raw.chopped(4) + "-16k.wav";
        run("sox", {raw, "-r", "16000", "-c", "1", "-b", "16", norm, "pad", "0",
                    QString::number(s.gapSeconds)});
        padded << norm;
        bare << raw;
    }
    const QString speechOnly = dir + "/speech-" + voice + "-" + rate + ".wav";
    run("sox", bare + QStringList{"-r", "16000", "-c", "1", "-b", "16", speechOnly});
    const QString joined = clean.chopped(4) + "-joined.wav";
    run("sox", padded + QStringList{joined});
    // Headroom, so that noise mixed in later does not clip.
    const QString scaled = clean.chopped(4) + "-s.wav";
    run("sox", {"-v", "0.7", joined, scaled});
    (void)QFile::remove(joined);
    (void)QFile::remove(clean);
    (void)QFile::rename(scaled, clean);
    const auto level = rms(speechOnly);
    if (!level) error = "sox could not measure " + speechOnly;
    return level ? std::optional<double>(*level * 0.7) : std::nullopt;
}

// The clean recording with pink noise at `snr` dB below the speech.
bool addNoise(const QString& clean, double speechRms, double snr, const QString& out) {
    const QString noise = out.chopped(4) + "-noise.wav";
    run("sox", {"-R", "-n", "-r", "16000", "-c", "1", "-b", "16", noise, "synth",
                QString::number(seconds(clean), 'f', 3), "pinknoise", "vol", "0.5"});
    const auto level = rms(noise);
    if (!level || *level <= 0) return false;
    const double gain = speechRms / std::pow(10.0, snr / 20.0) / *level;
    int status = 0;
    run("sox", {"-m", "-v", "1", clean, "-v", QString::number(gain, 'f', 6), noise, out}, &status);
    (void)QFile::remove(noise);
    return status == 0;
}

QString percent(double v) {
    return QString::number(v * 100.0, 'f', 1) + " %";
}

void table(QTextStream& o, const QString& title, const std::vector<Row>& rows, bool withRecall) {
    o << "\n" << title << "\n\n";
    o << "| engine | voice | rate | noise | words | sub | del | ins | WER | real-time factor | "
         "after last byte |"
      << (withRecall ? " hotword recall |" : "") << "\n";
    o << "|---|---|---|---|---|---|---|---|---|---|---|" << (withRecall ? "---|" : "") << "\n";
    for (const Row& r : rows) {
        o << "| " << r.engine << " | " << r.voice << " | " << r.rate << " | " << r.noise << " | "
          << r.errors.reference << " | " << r.errors.substitutions << " | " << r.errors.deletions
          << " | " << r.errors.insertions << " | " << percent(r.errors.rate()) << " | "
          << (r.audioSeconds > 0 ? QString::number(r.serverCpu / r.audioSeconds, 'f', 3)
                                 : QString("-"))
          << " | " << QString::number(r.tailMs, 'f', 0) << " ms"
          << (r.failures ? QStringLiteral(" (%1 failed)").arg(r.failures) : QString())
          << (r.cut ? QStringLiteral(" (%1 cut)").arg(r.cut) : QString()) << " |";
        if (withRecall)
            o << " "
              << (r.hotSaid ? QStringLiteral("%1/%2 (%3)")
                                  .arg(r.hotFound)
                                  .arg(r.hotSaid)
                                  .arg(percent(double(r.hotFound) / r.hotSaid))
                            : QString("-"))
              << " |";
        o << "\n";
    }
}

Row total(const std::vector<Row>& rows, const QString& label) {
    Row t;
    for (const Row& r : rows) {
        t.engine = r.engine;
        t.errors += r.errors;
        t.hotFound += r.hotFound;
        t.hotSaid += r.hotSaid;
        t.audioSeconds += r.audioSeconds;
        t.serverCpu += r.serverCpu;
        t.tailMs = std::max(t.tailMs, r.tailMs);
        t.failures += r.failures;
        t.cut += r.cut;
    }
    t.voice = t.rate = "all";
    t.noise = label;
    return t;
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_asr_wer [--full] [--sentences N] [--voices a,b] [--rates 1.0,0.8]\n"
                 "                     [--noise clean,20,10] [--recordings DIR] [--keep DIR]\n"
                 "                     [--out FILE] [--no-hotwords] [--build DIR] [--jobs N]\n"
                 "                     [--engine NAME] [-- SERVER ARGS...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Settings s;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto next = [&]() -> QString { return i + 1 < args.size() ? args[++i] : QString(); };
        if (a == "--full") {
            s.sentences = int(wer::corpus().size());
            s.rates = {"1.0", "0.8"};
        } else if (a == "--sentences") {
            s.sentences = std::clamp(next().toInt(), 1, int(wer::corpus().size()));
        } else if (a == "--voices") {
            s.voices = next().split(',', Qt::SkipEmptyParts);
        } else if (a == "--rates") {
            s.rates = next().split(',', Qt::SkipEmptyParts);
        } else if (a == "--noise") {
            s.noises = next().split(',', Qt::SkipEmptyParts);
        } else if (a == "--recordings") {
            s.recordings = next();
        } else if (a == "--keep") {
            s.keep = next();
        } else if (a == "--out") {
            s.out = next();
        } else if (a == "--build") {
            s.buildDir = next();
        } else if (a == "--engine") {
            s.engine = next();
        } else if (a == "--jobs") {
            s.jobs = std::clamp(next().toInt(), 1, 16);
        } else if (a == "--no-hotwords") {
            s.hotwords = false;
        } else if (a == "--") {
            s.serverArgs = args.mid(i + 1);
            break;
        } else {
            return usage();
        }
    }

    QTemporaryDir temp;
    if (!temp.isValid()) return 1;
    const QString home = temp.path();
    const QString audio = s.keep.isEmpty() ? home + "/audio" : s.keep;
    QDir().mkpath(audio);

    Server server;
    if (!server.start(s, home)) {
        say("velmora-server did not start; its log:");
        QFile log(home + "/server.log");
        if (log.open(QIODevice::ReadOnly)) say(QString::fromUtf8(log.readAll()));
        return 1;
    }
    QStringList hot;
    if (s.hotwords)
        for (const auto& w : wer::hotwords()) hot << QString::fromStdString(w);
    std::vector<std::string> hotStd;
    for (const QString& w : hot) hotStd.push_back(w.toStdString());

    struct Job {
        QString wav;
        std::string reference;
        Row row;
        Heard heard;
    };
    std::vector<Job> jobs;
    if (!s.recordings.isEmpty()) {
        const QDir dir(s.recordings);
        for (const QFileInfo& f : dir.entryInfoList({"*.wav", "*.WAV"}, QDir::Files, QDir::Name)) {
            QFile txt(f.path() + "/" + f.completeBaseName() + ".txt");
            if (!txt.open(QIODevice::ReadOnly)) {
                say("skipping " + f.fileName() + ": no " + txt.fileName());
                continue;
            }
            jobs.push_back(
                {f.filePath(),
                 QString::fromUtf8(txt.readAll()).toStdString(),
                 Row{s.engine, f.completeBaseName(), "-", "own", {}, 0, 0, 0, 0, 0, 0, 0},
                 {}});
        }
    } else {
        const std::vector<wer::Line> lines(wer::corpus().begin(),
                                           wer::corpus().begin() + s.sentences);
        std::string reference;
        for (const auto& l : lines) reference += std::string(l.text) + " ";
        for (const QString& voice : s.voices) {
            for (const QString& rate : s.rates) {
                const QString clean = QStringLiteral("%1/%2-%3-clean.wav").arg(audio, voice, rate);
                QString error;
                const auto level = speak(s, audio, voice, rate, lines, clean, error);
                if (!level) {
                    say(error);
                    return 1;
                }
                for (const QString& noise : s.noises) {
                    QString wav = clean;
                    if (noise != "clean") {
                        wav = QStringLiteral("%1/%2-%3-%4dB.wav").arg(audio, voice, rate, noise);
                        if (!addNoise(clean, *level, noise.toDouble(), wav)) {
                            say("sox could not mix noise into " + clean);
                            return 1;
                        }
                    }
                    jobs.push_back({wav,
                                    reference,
                                    Row{s.engine,
                                        voice,
                                        rate,
                                        noise == "clean" ? noise : noise + " dB",
                                        {},
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0,
                                        0},
                                    {}});
                }
            }
        }
    }
    say(QStringLiteral("%1 recordings, %2 at a time, at real time").arg(jobs.size()).arg(s.jobs));

    // Several recordings at once, each at real time; the server's CPU is shared
    // out over them by audio length.
    const double cpuBefore = server.cpu();
    std::atomic<size_t> next{0};
    std::mutex printing;
    std::vector<std::thread> threads;
    for (int t = 0; t < std::max(1, s.jobs); ++t)
        threads.emplace_back([&] {
            for (size_t k; (k = next.fetch_add(1)) < jobs.size();) {
                Job& job = jobs[k];
                job.heard = testAsr(s, home, server.port(), job.wav, hot);
                std::lock_guard lock(printing);
                say(QStringLiteral("  %1: %2")
                        .arg(QFileInfo(job.wav).fileName(),
                             job.heard.ok ? job.heard.raw : "FAILED: " + job.heard.error));
            }
        });
    for (auto& t : threads) t.join();
    const double cpu = server.cpu() - cpuBefore;
    double audioTotal = 0;
    for (Job& job : jobs) {
        job.row.audioSeconds = seconds(job.wav);
        audioTotal += job.row.audioSeconds;
    }
    std::vector<Row> rows;
    for (Job& job : jobs) {
        Row& row = job.row;
        const Heard& h = job.heard;
        if (!h.ok) ++row.failures;
        row.serverCpu = audioTotal > 0 ? cpu * row.audioSeconds / audioTotal : 0;
        row.tailMs = h.tailMs;
        if (h.ok && h.tailMs >= 2900) ++row.cut;
        row.errors =
            wer::align(wer::scoredWords(job.reference), wer::scoredWords(h.raw.toStdString()));
        const auto [found, said] = wer::recall(hotStd, job.reference, h.raw.toStdString());
        row.hotFound = found;
        row.hotSaid = said;
        rows.push_back(row);
    }

    QString report;
    QTextStream o(&report);
    o << "Word error rate, " << s.engine << ", "
      << (s.recordings.isEmpty()
              ? QStringLiteral("%1 sentences x voices %2 x rates %3 (flite, %4 s pauses)")
                    .arg(s.sentences)
                    .arg(s.voices.join('/'), s.rates.join('/'))
                    .arg(s.gapSeconds)
              : "recordings in " + s.recordings)
      << "\n";
    table(o, "Per recording:", rows, s.hotwords);
    std::vector<Row> sums;
    std::map<QString, std::vector<Row>> byNoise;
    for (const Row& r : rows) byNoise[r.noise].push_back(r);
    for (const QString& n : s.noises) {
        const QString label = n == "clean" ? n : n + " dB";
        if (byNoise.count(label)) sums.push_back(total(byNoise[label], label));
    }
    if (byNoise.count("own")) sums.push_back(total(byNoise["own"], "own"));
    sums.push_back(total(rows, "all"));
    table(o, "By noise level:", sums, s.hotwords);
    o.flush();
    std::fputs(qPrintable(report), stdout);
    if (!s.out.isEmpty()) {
        QFile f(s.out);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(report.toUtf8());
    }
    int failures = 0;
    for (const Row& r : rows) failures += r.failures;
    return failures ? 1 : 0;
}

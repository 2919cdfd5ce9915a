#include "platform/linux/SoxCliConverter.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtEndian>

namespace platform::x11 {

namespace {
quint32 u32(const QByteArray& b, int at) {
    return qFromLittleEndian<quint32>(b.constData() + at);
}
quint16 u16(const QByteArray& b, int at) {
    return qFromLittleEndian<quint16>(b.constData() + at);
}
}  // namespace

bool isCanonicalPcm16kHeader(const QByteArray& h) {
    return h.size() >= 44 && h.startsWith("RIFF") && h.mid(8, 8) == "WAVEfmt " &&
           u32(h, 16) == 16 && u16(h, 20) == 1 && u16(h, 22) == 1 && u32(h, 24) == 16000 &&
           u32(h, 28) == 32000 && u16(h, 32) == 2 && u16(h, 34) == 16 && h.mid(36, 4) == "data";
}

std::optional<QString> SoxCliConverter::convertToPcm16kWav(const QString& input,
                                                           const QString& output) {
    if (!QFileInfo(input).isFile()) return QStringLiteral("no such file");
    QProcess sox;
    sox.setProcessChannelMode(QProcess::MergedChannels);
    sox.start(QStringLiteral("sox"),
              {QStringLiteral("-V1"), input, QStringLiteral("-t"), QStringLiteral("wav"),
               QStringLiteral("-r"), QStringLiteral("16000"), QStringLiteral("-c"),
               QStringLiteral("1"), QStringLiteral("-b"), QStringLiteral("16"),
               QStringLiteral("-e"), QStringLiteral("signed-integer"), output});
    if (!sox.waitForStarted(5000))
        return QStringLiteral("couldn't run sox (") + sox.errorString() + ')';
    if (!sox.waitForFinished(120000)) {
        sox.kill();
        sox.waitForFinished(2000);
        return QStringLiteral("sox took too long");
    }
    if (sox.exitStatus() != QProcess::NormalExit || sox.exitCode() != 0)
        return QStringLiteral("sox failed: ") + QString::fromLocal8Bit(sox.readAll()).trimmed();
    QFile out(output);
    if (!out.open(QIODevice::ReadOnly)) return QStringLiteral("sox wrote nothing");
    if (!isCanonicalPcm16kHeader(out.read(44))) {
        out.close();
        QFile::remove(output);
        return QStringLiteral("sox wrote a WAVE file with an unexpected header");
    }
    return std::nullopt;
}

}  // namespace platform::x11

#include "ui/HUDCopy.h"

#include "core/StreamSession.h"

namespace HUDCopy {

QString listening() {
    return QStringLiteral("Listening");
}

QStringList thinkingWords() {
    return {QStringLiteral("Thinking"), QStringLiteral("Polishing"), QStringLiteral("Tidying up")};
}

QString thinkingPlain() {
    return QStringLiteral("Thinking");
}

QStringList messages() {
    return {
        didntHear(),
        micDenied(),
        accessibilityWarning(),
        QStringLiteral("Can't reach the mic, try relaunching me"),
        QStringLiteral("The mic's gone quiet, try relaunching me"),
        lostConnection(),
        cantReachServer(),
        cantTypeHere(),
        switchedApps(),
        maybeNotDelivered(),
        signInFirst(),
        onTheList(),
        accountOff(),
        todaysLimit(),
        monthsWords(),
    };
}

QString didntHear() {
    return QStringLiteral("Didn't hear anything");
}
QString lostConnection() {
    return QStringLiteral("Lost the connection, please try again");
}
QString cantTypeHere() {
    return StreamSession::cantTypeHere();
}
QString switchedApps() {
    return StreamSession::switchedApps();
}
QString micDenied() {
    return QStringLiteral("Can't hear you, allow Microphone in Settings");
}
QString signInFirst() {
    return QStringLiteral("Sign in first, then try again");
}
QString onTheList() {
    return QStringLiteral("You're on the list, we'll let you in soon");
}
QString accountOff() {
    return QStringLiteral("This account is turned off");
}
QString todaysLimit() {
    return QStringLiteral("That's today's limit, back tomorrow");
}
QString monthsWords() {
    return QStringLiteral("That's this month's words, see your plan");
}
QString cantReachServer() {
    return QStringLiteral("Can't reach the server, check it's running");
}
QString maybeNotDelivered() {
    return QStringLiteral("Couldn't check it went in, it's on the clipboard");
}
QString accessibilityWarning() {
    return QStringLiteral("Grant Accessibility access, then relaunch me");
}

double hideDelay(const QString& message) {
    if (message == didntHear()) return 1.2;
    if (message == lostConnection()) return 3.0;
    if (message == accessibilityWarning()) return 6.0;
    return 4.0;
}

QString learnedCaption() {
    return QStringLiteral("Added to your dictionary");
}

QString undoneText(const QStringList& words) {
    const QString head = QStringLiteral("Got it, won't learn ");
    if (words.size() == 1) return head + words.first();
    return head + QString::number(words.size()) + QStringLiteral(" words");
}

QString undo() {
    return QStringLiteral("Undo");
}

QString previewWritten() {
    return QStringLiteral("This is how your words");
}
QString previewPending() {
    return QStringLiteral(" show up");
}
QString previewPartial() {
    return QStringLiteral(" while you talk");
}
QString demoExtra() {
    return QStringLiteral("，然后继续往下说");
}

QList<QStringList> sampleLearned() {
    return {
        {QStringLiteral("Velmora")},
        {QStringLiteral("Kubernetes"), QStringLiteral("Siobhan"), QStringLiteral("pgvector")},
        {QStringLiteral("Anya Taylor"), QStringLiteral("Qwen"), QStringLiteral("Beast"),
         QStringLiteral("soxr"), QStringLiteral("XInput2"), QStringLiteral("Okonkwo")},
    };
}

}  // namespace HUDCopy

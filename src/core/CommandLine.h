#pragma once
#include <QString>
#include <QStringList>

// What the process was asked to do, read from its arguments (element 0 is the
// executable). The first argument is matched exactly; preview modifiers may
// stand anywhere after it; unknown arguments are ignored.
struct LaunchOptions {
    enum class Mode { normal, testAsr, testPolish, probeUrl, previewHud, previewWindow };
    Mode mode = Mode::normal;

    QString wavPath;      // testAsr
    QString polishText;   // testPolish
    QString polishStyle;  // testPolish; empty when absent

    // previewHud
    bool wave = false, learned = false, messages = false, thinking = false, nothing = false;
    double seconds = 5;

    // previewWindow
    QString page = QStringLiteral("home");
    bool empty = false, setup = false, signedOut = false, pending = false, pro = false;
    QString updateState;  // empty when "--update" is absent

    static LaunchOptions parse(const QStringList& args);
};

#pragma once
#include <QString>
#include <QStringList>

// The pill's own words. Dictation messages are English only.
namespace HUDCopy {

// Shown in place of the transcript before anything is heard.
QString listening();
// The words of the thinking state; "Thinking" alone when cleanup is off.
QStringList thinkingWords();
QString thinkingPlain();

// The pill messages of a whole dictation, in the order the "--messages" preview shows them.
QStringList messages();
QString didntHear();
QString lostConnection();
QString cantTypeHere();
QString switchedApps();
QString accessibilityWarning();
QString micDenied();
QString signInFirst();
QString onTheList();
QString accountOff();
QString todaysLimit();
QString monthsWords();
// The recogniser's service could not be reached at all (at launch, or when listening).
QString cantReachServer();
// The text was pasted blind into whatever had focus; it is on the clipboard too.
QString maybeNotDelivered();

// How long a message stays: 1.2 s for "Didn't hear anything", 3 s for a lost
// connection, 6 s for the accessibility warning, 4 s for every other one.
double hideDelay(const QString& message);

// The learned-word notice.
QString learnedCaption();
// "Got it, won't learn " + the word, or + count + " words" for several.
QString undoneText(const QStringList& words);
QString undo();  // the undo button's description

// Sample content for previews and the tuning window.
QString previewWritten();
QString previewPending();
QString previewPartial();
QString demoExtra();  // the tuning demo appends this n times
QList<QStringList> sampleLearned();

}  // namespace HUDCopy

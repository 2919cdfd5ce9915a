#pragma once
#include <QRect>
#include <QString>
#include <memory>
#include <vector>

typedef struct _AtspiAccessible AtspiAccessible;

// Reading a program's windows over the accessibility bus, as a screen reader does. libatspi
// must have been initialised (atspi_init) on the session's buses. Thread: main.
namespace a11y {

struct Unref {
    void operator()(void* object) const;
};
using Node = std::unique_ptr<AtspiAccessible, Unref>;

// A control a user can operate: buttons, switches, entries, combo boxes.
struct Control {
    std::string role, name;
    std::string label;  // a "labelled by" relation's target, when there is one
    QRect extents;      // on the screen
};

// The application with process id `pid`, when it is on the bus.
Node application(qint64 pid);
// The controls on show under `root`; with `texts`, every other named element on show too
// (labels, list rows).
std::vector<Control> controls(AtspiAccessible* root, bool texts = false);
// Those of the program `pid`'s windows; none while it is not on the bus.
std::vector<Control> controlsOf(qint64 pid, bool texts = false);
// The first control on show named `name` (or labelled so), when there is one.
const Control* find(const std::vector<Control>& controls, const QString& name);

}  // namespace a11y

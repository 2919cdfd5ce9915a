// Our windows as a screen reader finds them: over a private accessibility bus, every control
// a user can operate is there with a name.
#include <atspi/atspi.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QStandardPaths>
#include <memory>
#include <set>

#include "harness/A11yTree.h"
#include "harness/DesktopSession.h"
#include "harness/Wait.h"
#include "support/TestEnv.h"

using namespace Qt::StringLiterals;

namespace {

using a11y::Control;
using a11y::Node;

// The window holding the element that last got the keyboard focus: a popup is not among its
// application's children, and a screen reader finds it through the focus too.
struct FocusWatch {
    FocusWatch() {
        listener = atspi_event_listener_new_simple(&FocusWatch::seen, nullptr);
        atspi_event_listener_register(listener, "object:state-changed:focused", nullptr);
    }
    ~FocusWatch() {
        atspi_event_listener_deregister(listener, "object:state-changed:focused", nullptr);
        g_object_unref(listener);
        last().reset();
    }
    static Node& last() {
        static Node node;
        return node;
    }
    static void seen(const AtspiEvent* event) {
        if (event->detail1 && event->source)
            last().reset(ATSPI_ACCESSIBLE(g_object_ref(event->source)));
        // Each event is handed over to its listener, to free.
        g_boxed_free(atspi_event_get_type(), const_cast<AtspiEvent*>(event));
    }
    // The focused element's top-level window, when its application is `pid`.
    static Node window(qint64 pid) {
        if (!last()) return nullptr;
        GError* error = nullptr;
        const bool ours = atspi_accessible_get_process_id(last().get(), &error) == pid;
        g_clear_error(&error);
        if (!ours) return nullptr;
        Node node(ATSPI_ACCESSIBLE(g_object_ref(last().get())));
        for (int up = 0; node && up < 40; ++up) {
            Node parent(atspi_accessible_get_parent(node.get(), &error));
            g_clear_error(&error);
            if (!parent) return nullptr;
            if (atspi_accessible_get_role(parent.get(), &error) == ATSPI_ROLE_APPLICATION) {
                g_clear_error(&error);
                return node;
            }
            g_clear_error(&error);
            node = std::move(parent);
        }
        return nullptr;
    }
    AtspiEventListener* listener;
};

class AccessibleTree : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display";
        if (!QFile::exists(u"/usr/libexec/at-spi-bus-launcher"_s))
            GTEST_SKIP() << "at-spi-bus-launcher is not installed";
        ASSERT_TRUE(holdXServer());
        ASSERT_TRUE(session.start(100)) << session.error.toStdString();
        ASSERT_EQ(atspi_init(), 0);
        focus = std::make_unique<FocusWatch>();
    }
    void TearDown() override {
        // The bus goes last: libatspi aborts when it is gone under a live listener.
        if (focus) {
            focus.reset();
            atspi_exit();
        }
        session.stop();
    }
    DesktopSession session;
    std::unique_ptr<FocusWatch> focus;
};

TEST_F(AccessibleTree, EveryControlOfOurWindowsHasANameOrALabel) {
    QProcess* host = session.launch(testenv::binaryDir() + u"/tests/panel/velmora_window_host"_s,
                                    {}, {u"QT_QPA_PLATFORM=xcb"_s});
    ASSERT_NE(host, nullptr);
    ASSERT_TRUE(host->waitForReadyRead(30000));
    std::vector<Control> controls;
    // The tree fills in as the windows are mapped: wait for the last row of the panel.
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            controls = a11y::controlsOf(host->processId());
            if (Node panel = FocusWatch::window(host->processId()))
                for (Control& c : a11y::controls(panel.get())) controls.push_back(std::move(c));
            bool panel = false, window = false;
            for (const Control& c : controls) {
                panel = panel || c.name == "Quit Velmora";
                window = window || c.name == "Continue with Google";
            }
            return panel && window;
        },
        "the panel and the windows on the accessibility bus"));

    std::set<std::string> names;
    for (const Control& c : controls) {
        std::fprintf(stderr, "%s \"%s\" %s\n", c.role.c_str(), c.name.c_str(), c.label.c_str());
        EXPECT_FALSE(QString::fromStdString(c.name).trimmed().isEmpty())
            << "a " << c.role << " without a name";
        names.insert(c.name);
        if (!c.label.empty()) names.insert(c.label);
    }
    for (const char* expected :
         {"⚠ Grant Microphone access…", "Dictionary", "Remove Anneliese", "Add a word",
          "Learn from my edits", "Pill shows", "Tesk fast path", "Open Velmora", "Tune the pill…",
          "Open Log", "Update to 2.0", "Quit Velmora"})
        EXPECT_TRUE(names.count(expected)) << "not found: " << expected;
}

}  // namespace

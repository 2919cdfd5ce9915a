// Our windows as a screen reader finds them: over a private accessibility bus, every control
// a user can operate is there with a name.
#include <atspi/atspi.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QStandardPaths>
#include <memory>
#include <set>

#include "harness/DesktopSession.h"
#include "harness/Wait.h"
#include "support/TestEnv.h"

namespace {

struct Unref {
    void operator()(void* p) const { g_object_unref(p); }
};
using Node = std::unique_ptr<AtspiAccessible, Unref>;

struct Control {
    std::string role, name, label;  // the label: a "labelled by" relation's (combo boxes)
};

std::string labelOf(AtspiAccessible* node) {
    std::string label;
    GError* error = nullptr;
    GArray* relations = atspi_accessible_get_relation_set(node, &error);
    g_clear_error(&error);
    if (!relations) return label;
    for (guint i = 0; i < relations->len; ++i) {
        AtspiRelation* r = g_array_index(relations, AtspiRelation*, i);
        if (label.empty() && atspi_relation_get_relation_type(r) == ATSPI_RELATION_LABELLED_BY &&
            atspi_relation_get_n_targets(r) > 0) {
            Node target(atspi_relation_get_target(r, 0));
            gchar* name = target ? atspi_accessible_get_name(target.get(), &error) : nullptr;
            g_clear_error(&error);
            if (name) label = name;
            g_free(name);
        }
        g_object_unref(r);
    }
    g_array_free(relations, TRUE);
    return label;
}

bool operable(AtspiRole role, AtspiStateSet* states) {
    switch (role) {
        case ATSPI_ROLE_PUSH_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON:
        case ATSPI_ROLE_CHECK_BOX:
        case ATSPI_ROLE_RADIO_BUTTON:
        case ATSPI_ROLE_COMBO_BOX:
        case ATSPI_ROLE_ENTRY:
        case ATSPI_ROLE_PASSWORD_TEXT:
        case ATSPI_ROLE_SPIN_BUTTON:
        case ATSPI_ROLE_SLIDER:
        case ATSPI_ROLE_PAGE_TAB:
            return true;
        case ATSPI_ROLE_TEXT:
            return atspi_state_set_contains(states, ATSPI_STATE_EDITABLE);
        default:
            return false;
    }
}

// The controls on show under `node`.
void collect(AtspiAccessible* node, std::vector<Control>& out, int depth = 0) {
    if (depth > 40) return;
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(node, &error);
    g_clear_error(&error);
    std::unique_ptr<AtspiStateSet, Unref> states(atspi_accessible_get_state_set(node));

    if (states && !atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING) && depth > 1) return;
    if (states && operable(role, states.get())) {
        gchar* name = atspi_accessible_get_name(node, &error);
        g_clear_error(&error);
        gchar* roleName = atspi_accessible_get_role_name(node, &error);
        g_clear_error(&error);
        out.push_back({roleName ? roleName : "?", name ? name : "", labelOf(node)});
        g_free(name);
        g_free(roleName);
    }
    const gint n = atspi_accessible_get_child_count(node, &error);
    g_clear_error(&error);
    for (gint i = 0; i < n; ++i) {
        Node child(atspi_accessible_get_child_at_index(node, i, &error));
        g_clear_error(&error);
        if (child) collect(child.get(), out, depth + 1);
    }
}

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

// The application with process id `pid` on the bus, when it is there.
Node application(qint64 pid) {
    Node desktop(atspi_get_desktop(0));
    GError* error = nullptr;
    const gint n = atspi_accessible_get_child_count(desktop.get(), &error);
    g_clear_error(&error);
    for (gint i = 0; i < n; ++i) {
        Node app(atspi_accessible_get_child_at_index(desktop.get(), i, &error));
        g_clear_error(&error);
        if (!app) continue;
        if (atspi_accessible_get_process_id(app.get(), &error) == pid) {
            g_clear_error(&error);
            return app;
        }
        g_clear_error(&error);
    }
    return nullptr;
}

class AccessibleTree : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display";
        if (!QFile::exists(QStringLiteral("/usr/libexec/at-spi-bus-launcher")))
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
    QProcess* host =
        session.launch(testenv::binaryDir() + QStringLiteral("/tests/panel/velmora_window_host"),
                       {}, {QStringLiteral("QT_QPA_PLATFORM=xcb")});
    ASSERT_NE(host, nullptr);
    ASSERT_TRUE(host->waitForReadyRead(30000));
    std::vector<Control> controls;
    // The tree fills in as the windows are mapped: wait for the last row of the panel.
    ASSERT_TRUE(harness::waitUntil(
        [&] {
            controls.clear();
            if (Node app = application(host->processId())) collect(app.get(), controls);
            if (Node panel = FocusWatch::window(host->processId())) collect(panel.get(), controls);
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

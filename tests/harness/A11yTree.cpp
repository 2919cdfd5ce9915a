#include "harness/A11yTree.h"

#include <atspi/atspi.h>

namespace a11y {
namespace {

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

std::string take(gchar* text) {
    g_autofree gchar* owned = text;
    return owned ? owned : "";
}

std::string labelOf(AtspiAccessible* node) {
    std::string label;
    GError* error = nullptr;
    g_autoptr(GArray) relations = atspi_accessible_get_relation_set(node, &error);
    g_clear_error(&error);
    if (!relations) return label;
    // The array holds a reference to each relation: take them all before reading any.
    std::vector<std::unique_ptr<AtspiRelation, Unref>> owned;
    for (guint i = 0; i < relations->len; ++i)
        owned.emplace_back(g_array_index(relations, AtspiRelation*, i));
    for (const auto& r : owned) {
        if (label.empty() &&
            atspi_relation_get_relation_type(r.get()) == ATSPI_RELATION_LABELLED_BY &&
            atspi_relation_get_n_targets(r.get()) > 0) {
            Node target(atspi_relation_get_target(r.get(), 0));
            if (target) label = take(atspi_accessible_get_name(target.get(), &error));
            g_clear_error(&error);
        }
    }
    return label;
}

void collect(AtspiAccessible* node, std::vector<Control>& out, bool texts, int depth) {
    if (depth > 40) return;
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(node, &error);
    g_clear_error(&error);
    std::unique_ptr<AtspiStateSet, Unref> states(atspi_accessible_get_state_set(node));
    // Below the windows, only what is on show: hidden pages stay in the tree.
    if (states && depth > 1 && !atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) return;
    if (states && (operable(role, states.get()) || (texts && role != ATSPI_ROLE_APPLICATION))) {
        Control c;
        c.name = take(atspi_accessible_get_name(node, &error));
        g_clear_error(&error);
        c.role = take(atspi_accessible_get_role_name(node, &error));
        g_clear_error(&error);
        c.label = labelOf(node);
        if (const std::unique_ptr<AtspiComponent, Unref> component{
                atspi_accessible_get_component_iface(node)}) {
            g_autofree AtspiRect* r =
                atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &error);
            if (r) c.extents = QRect(r->x, r->y, r->width, r->height);
            g_clear_error(&error);
        }
        out.push_back(std::move(c));
    }
    const gint n = atspi_accessible_get_child_count(node, &error);
    g_clear_error(&error);
    for (gint i = 0; i < n; ++i) {
        Node child(atspi_accessible_get_child_at_index(node, i, &error));
        g_clear_error(&error);
        if (child) collect(child.get(), out, texts, depth + 1);
    }
}

}  // namespace

void Unref::operator()(void* object) const {
    g_object_unref(object);
}

Node application(qint64 pid) {
    Node desktop(atspi_get_desktop(0));
    GError* error = nullptr;
    const gint n = atspi_accessible_get_child_count(desktop.get(), &error);
    g_clear_error(&error);
    for (gint i = 0; i < n; ++i) {
        Node app(atspi_accessible_get_child_at_index(desktop.get(), i, &error));
        g_clear_error(&error);
        if (!app) continue;
        const bool ours = atspi_accessible_get_process_id(app.get(), &error) == pid;
        g_clear_error(&error);
        if (ours) return app;
    }
    return nullptr;
}

std::vector<Control> controls(AtspiAccessible* root, bool texts) {
    std::vector<Control> out;
    collect(root, out, texts, 0);
    return out;
}

std::vector<Control> controlsOf(qint64 pid, bool texts) {
    const Node app = application(pid);
    return app ? controls(app.get(), texts) : std::vector<Control>{};
}

const Control* find(const std::vector<Control>& all, const QString& name) {
    const std::string wanted = name.toStdString();
    for (const Control& c : all)
        if (c.name == wanted || c.label == wanted) return &c;
    return nullptr;
}

}  // namespace a11y

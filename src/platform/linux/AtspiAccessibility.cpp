#include "platform/linux/AtspiAccessibility.h"
#include "core/Log.h"

#include <atspi/atspi.h>

#include <functional>

namespace platform::x11 {

namespace {

struct AtspiElement : AccessibleElement {
    explicit AtspiElement(AtspiAccessible* o) : obj(o) {}
    ~AtspiElement() override { g_object_unref(obj); }
    AtspiAccessible* obj;
};

AtspiAccessible* unwrap(const ElementRef& e) {
    auto* a = dynamic_cast<AtspiElement*>(e.get());
    return a ? a->obj : nullptr;
}

// Takes a GError: its code, or `fallback` when there was none.
int take(GError*& error, int fallback = 0) {
    const int code = error ? (error->code != 0 ? error->code : -1) : fallback;
    g_clear_error(&error);
    return code;
}

struct GFree {
    void operator()(gchar* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<gchar, GFree>;

bool hasState(AtspiAccessible* obj, AtspiStateType state) {
    AtspiStateSet* set = atspi_accessible_get_state_set(obj);
    if (!set) return false;
    const bool has = atspi_state_set_contains(set, state);
    g_object_unref(set);
    return has;
}

// Index of the UTF-16 unit where the `chars`-th code point starts.
qint64 unitsForChars(const QString& text, qint64 chars) {
    qint64 units = 0;
    for (qint64 c = 0; c < chars && units < text.size(); ++c)
        units += (text.at(units).isHighSurrogate() && units + 1 < text.size()) ? 2 : 1;
    return units;
}

// Depth-first search below `node` within the bounds: the innermost match first
// (the focused field inside a focused pane), or with `outer` the outermost (a page,
// not the frames inside it). Returns a new reference.
AtspiAccessible* find(AtspiAccessible* node, const std::function<bool(AtspiAccessible*)>& match,
                      bool outer, int depth, int* budget, int* error) {
    if (--*budget < 0 || depth > AtspiAccessibility::kMaxDepth) return nullptr;
    GError* err = nullptr;
    const gint n = atspi_accessible_get_child_count(node, &err);
    if (err) {
        *error = take(err);
        return nullptr;
    }
    for (gint i = 0; i < n && *budget >= 0; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, &err);
        if (!child) {
            if (err) *error = take(err);
            continue;
        }
        // Hidden subtrees (other tabs, closed menus) cannot hold the focus.
        AtspiAccessible* found = nullptr;
        const bool showing = hasState(child, ATSPI_STATE_SHOWING);
        if (outer && showing && match(child))
            found = static_cast<AtspiAccessible*>(g_object_ref(child));
        if (!found && showing) found = find(child, match, outer, depth + 1, budget, error);
        if (!found && !outer && match(child))
            found = static_cast<AtspiAccessible*>(g_object_ref(child));
        g_object_unref(child);
        if (found) return found;
    }
    return nullptr;
}

bool hasDocument(AtspiAccessible* obj) {
    AtspiDocument* d = atspi_accessible_get_document_iface(obj);
    if (d) g_object_unref(d);
    return d != nullptr;
}

bool isDocument(AtspiAccessible* obj) {
    GError* err = nullptr;
    const AtspiRole r = atspi_accessible_get_role(obj, &err);
    g_clear_error(&err);
    return (r == ATSPI_ROLE_DOCUMENT_WEB || r == ATSPI_ROLE_DOCUMENT_FRAME) && hasDocument(obj);
}

// The page address a document states: Firefox and Chromium say "DocURL"; some say "URI" or "URL".
std::optional<QString> docUrl(AtspiAccessible* doc, int* error) {
    AtspiDocument* d = atspi_accessible_get_document_iface(doc);
    if (!d) return std::nullopt;
    GError* err = nullptr;
    GHashTable* attrs = atspi_document_get_document_attributes(d, &err);
    g_object_unref(d);
    if (!attrs) {
        *error = take(err);
        return std::nullopt;
    }
    std::optional<QString> url;
    for (const char* key : {"DocURL", "URI", "URL"}) {
        if (auto* v = static_cast<const gchar*>(g_hash_table_lookup(attrs, key)); v && *v) {
            url = QString::fromUtf8(v);
            break;
        }
    }
    g_hash_table_unref(attrs);
    return url;
}

}  // namespace

AtspiAccessibility::AtspiAccessibility() = default;

AtspiAccessibility::~AtspiAccessibility() {
    for (AtspiAccessible* a : std::as_const(apps_)) g_object_unref(a);
}

bool AtspiAccessibility::ready() {
    if (initState_ < 0) {
        // Without a session bus libatspi cannot find the accessibility bus.
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
            qEnvironmentVariableIsEmpty("AT_SPI_BUS_ADDRESS")) {
            initState_ = 1;
        } else {
            const int rc = atspi_init();
            initState_ = (rc == 0 || rc == 1) ? 0 : rc;
        }
        if (initState_ != 0)
            Log::write(QStringLiteral("Accessibility: the AT-SPI bus is not reachable"));
    }
    return initState_ == 0;
}

void AtspiAccessibility::setCallTimeout(int ms) {
    if (ready()) atspi_set_timeout(ms, ms);
}

AtspiAccessible* AtspiAccessibility::application(qint64 pid, int* error) {
    *error = 0;
    if (!ready() || pid <= 0) return nullptr;
    GError* err = nullptr;
    // A remembered application is checked with one cheap call: a process that
    // quit answers with an error.
    if (AtspiAccessible* known = apps_.value(pid)) {
        atspi_accessible_get_child_count(known, &err);
        if (!err) return static_cast<AtspiAccessible*>(g_object_ref(known));
        g_clear_error(&err);
        apps_.remove(pid);
        g_object_unref(known);
    }
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) return nullptr;
    const gint n = atspi_accessible_get_child_count(desktop, &err);
    if (err) {
        *error = take(err);
        g_object_unref(desktop);
        return nullptr;
    }
    AtspiAccessible* found = nullptr;
    for (gint i = 0; i < n && !found; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, &err);
        g_clear_error(&err);
        if (!app) continue;
        const AtspiObject* object = reinterpret_cast<AtspiObject*>(app);
        const QString bus = object->app && object->app->bus_name
                                ? QString::fromUtf8(object->app->bus_name)
                                : QString();
        qint64 appPid = pids_.value(bus, -1);
        if (appPid < 0) {
            appPid = atspi_accessible_get_process_id(app, &err);
            if (err) {
                g_clear_error(&err);
                appPid = 0;
            }
            if (!bus.isEmpty()) pids_.insert(bus, appPid);  // unique bus names are never reused
        }
        if (appPid == pid)
            found = app;
        else
            g_object_unref(app);
    }
    g_object_unref(desktop);
    if (found) apps_.insert(pid, static_cast<AtspiAccessible*>(g_object_ref(found)));
    return found;
}

AtspiAccessible* AtspiAccessibility::activeWindow(AtspiAccessible* app, int* error) {
    GError* err = nullptr;
    const gint n = atspi_accessible_get_child_count(app, &err);
    if (err) {
        *error = take(err);
        return nullptr;
    }
    for (gint i = 0; i < n; ++i) {
        AtspiAccessible* w = atspi_accessible_get_child_at_index(app, i, &err);
        if (!w) {
            if (err) *error = take(err);
            continue;
        }
        if (hasState(w, ATSPI_STATE_ACTIVE)) return w;
        g_object_unref(w);
    }
    return nullptr;
}

AxResult<ElementRef> AtspiAccessibility::focusedElement(qint64 pid) {
    int error = 0;
    AtspiAccessible* app = application(pid, &error);
    if (!app) return AxResult<ElementRef>::failed(error);
    AtspiAccessible* window = activeWindow(app, &error);
    g_object_unref(app);
    if (!window) return AxResult<ElementRef>::failed(error);
    AtspiAccessible* focused = nullptr;
    if (AtspiCollection* collection = atspi_accessible_get_collection_iface(window)) {
        // One request: the toolkit searches its own tree.
        AtspiStateSet* states = atspi_state_set_new(nullptr);
        atspi_state_set_add(states, ATSPI_STATE_FOCUSED);
        AtspiMatchRule* rule = atspi_match_rule_new(
            states, ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
            ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE);
        GError* err = nullptr;
        GArray* matches = atspi_collection_get_matches(
            collection, rule, ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, &err);
        if (matches) {
            if (matches->len > 0) focused = g_array_index(matches, AtspiAccessible*, 0);
            for (guint i = 1; i < matches->len; ++i)
                g_object_unref(g_array_index(matches, AtspiAccessible*, i));
            g_array_free(matches, TRUE);
        } else {
            error = take(err);
        }
        g_object_unref(rule);
        g_object_unref(states);
        g_object_unref(collection);
    }
    if (!focused) {
        int budget = kMaxNodes;
        int walkError = 0;
        focused = find(
            window, [](AtspiAccessible* o) { return hasState(o, ATSPI_STATE_FOCUSED); }, false, 0,
            &budget, &walkError);
        if (!focused && walkError) error = walkError;
        // A window that holds the focus itself is all there is to report.
        if (!focused && hasState(window, ATSPI_STATE_FOCUSED))
            focused = static_cast<AtspiAccessible*>(g_object_ref(window));
    }
    g_object_unref(window);
    if (!focused) return AxResult<ElementRef>::failed(error);
    return AxResult<ElementRef>::of(std::make_shared<AtspiElement>(focused));
}

AxResult<QString> AtspiAccessibility::role(const ElementRef& element) {
    AtspiAccessible* obj = unwrap(element);
    if (!obj) return AxResult<QString>::failed(0);
    GError* err = nullptr;
    GString_ name(atspi_accessible_get_role_name(obj, &err));
    if (!name) return AxResult<QString>::failed(take(err));
    return AxResult<QString>::of(QString::fromUtf8(name.get()));
}

AxResult<QString> AtspiAccessibility::value(const ElementRef& element) {
    AtspiAccessible* obj = unwrap(element);
    if (!obj) return AxResult<QString>::failed(0);
    AtspiText* text = atspi_accessible_get_text_iface(obj);
    if (!text) return AxResult<QString>::failed(0);
    GError* err = nullptr;
    const gint count = atspi_text_get_character_count(text, &err);
    GString_ s(err ? nullptr : atspi_text_get_text(text, 0, count, &err));
    g_object_unref(text);
    if (!s) return AxResult<QString>::failed(take(err));
    return AxResult<QString>::of(QString::fromUtf8(s.get()));
}

AxResult<TextRange> AtspiAccessibility::selectedRange(const ElementRef& element) {
    AtspiAccessible* obj = unwrap(element);
    if (!obj) return AxResult<TextRange>::failed(0);
    AtspiText* text = atspi_accessible_get_text_iface(obj);
    if (!text) return AxResult<TextRange>::failed(0);
    GError* err = nullptr;
    gint start = -1, end = -1;
    if (atspi_text_get_n_selections(text, &err) > 0) {
        AtspiRange* r = atspi_text_get_selection(text, 0, &err);
        if (r) {
            start = std::min(r->start_offset, r->end_offset);
            end = std::max(r->start_offset, r->end_offset);
            g_free(r);
        }
    }
    g_clear_error(&err);
    if (start < 0) {
        start = end = atspi_text_get_caret_offset(text, &err);
        if (err) {
            g_object_unref(text);
            return AxResult<TextRange>::failed(take(err));
        }
    }
    g_object_unref(text);
    // The bus counts characters; the rest of the app counts UTF-16 units.
    const auto whole = value(element);
    if (!whole.value) return AxResult<TextRange>::failed(whole.error);
    const qint64 from = unitsForChars(*whole.value, start);
    const qint64 to = unitsForChars(*whole.value, end);
    return AxResult<TextRange>::of(TextRange{from, to - from});
}

AxResult<QMap<QString, QString>> AtspiAccessibility::attributes(const ElementRef& element) {
    AtspiAccessible* obj = unwrap(element);
    if (!obj) return AxResult<QMap<QString, QString>>::failed(0);
    GError* err = nullptr;
    GHashTable* table = atspi_accessible_get_attributes(obj, &err);
    if (!table) return AxResult<QMap<QString, QString>>::failed(take(err));
    QMap<QString, QString> out;
    GHashTableIter it;
    gpointer key = nullptr, val = nullptr;
    g_hash_table_iter_init(&it, table);
    while (g_hash_table_iter_next(&it, &key, &val))
        out.insert(QString::fromUtf8(static_cast<const char*>(key)),
                   QString::fromUtf8(static_cast<const char*>(val)));
    g_hash_table_unref(table);
    return AxResult<QMap<QString, QString>>::of(out);
}

bool AtspiAccessibility::sameElement(const ElementRef& a, const ElementRef& b) {
    AtspiAccessible* x = unwrap(a);
    AtspiAccessible* y = unwrap(b);
    if (!x || !y) return false;
    if (x == y) return true;
    const auto* ox = reinterpret_cast<AtspiObject*>(x);
    const auto* oy = reinterpret_cast<AtspiObject*>(y);
    return ox->app && oy->app && g_strcmp0(ox->app->bus_name, oy->app->bus_name) == 0 &&
           g_strcmp0(ox->path, oy->path) == 0;
}

AxResult<QString> AtspiAccessibility::documentUrl(qint64 pid) {
    int error = 0;
    AtspiAccessible* app = application(pid, &error);
    if (!app) return AxResult<QString>::failed(error);
    AtspiAccessible* window = activeWindow(app, &error);
    g_object_unref(app);
    if (!window) return AxResult<QString>::failed(error);
    // Browsers point from the window to the front tab's document ("embeds").
    AtspiAccessible* doc = nullptr;
    GError* err = nullptr;
    if (GArray* relations = atspi_accessible_get_relation_set(window, &err)) {
        for (guint i = 0; i < relations->len && !doc; ++i) {
            AtspiRelation* rel = g_array_index(relations, AtspiRelation*, i);
            if (atspi_relation_get_relation_type(rel) == ATSPI_RELATION_EMBEDS &&
                atspi_relation_get_n_targets(rel) > 0)
                doc = atspi_relation_get_target(rel, 0);
            g_object_unref(rel);
        }
        g_array_free(relations, TRUE);
    }
    g_clear_error(&err);
    if (doc && !hasDocument(doc)) {
        g_object_unref(doc);
        doc = nullptr;
    }
    if (!doc) {
        // Otherwise the first showing document in the window.
        int budget = kMaxNodes;
        doc = find(window, isDocument, true, 0, &budget, &error);
    }
    g_object_unref(window);
    if (!doc) return AxResult<QString>::failed(error);
    auto url = docUrl(doc, &error);
    g_object_unref(doc);
    if (!url) return AxResult<QString>::failed(error);
    return AxResult<QString>::of(*url);
}

}  // namespace platform::x11

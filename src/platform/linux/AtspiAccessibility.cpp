#include "platform/linux/AtspiAccessibility.h"
#include "core/Log.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

namespace platform::x11 {

namespace {

using Accessible = GObjectPtr<AtspiAccessible>;

struct AtspiElement : AccessibleElement {
    explicit AtspiElement(Accessible o) : obj(std::move(o)) {}
    Accessible obj;
};

AtspiAccessible* unwrap(const ElementRef& e) {
    auto* a = dynamic_cast<AtspiElement*>(e.get());
    return a ? a->obj.get() : nullptr;
}

GObjectPtr<AtspiText> textOf(const ElementRef& element) {
    AtspiAccessible* obj = unwrap(element);
    return GObjectPtr<AtspiText>(obj ? atspi_accessible_get_text_iface(obj) : nullptr);
}

// A string a call handed over, or the call's error.
AxResult<QString> ownedString(gchar* s, GErrorSlot& err) {
    const GMallocPtr<gchar> owned(s);
    if (!owned) return AxResult<QString>::failed(err.take());
    return AxResult<QString>::of(QString::fromUtf8(owned.get()));
}

bool hasState(AtspiAccessible* obj, AtspiStateType state) {
    const GObjectPtr<AtspiStateSet> set(atspi_accessible_get_state_set(obj));
    return set && atspi_state_set_contains(set.get(), state);
}

// Index of the UTF-16 unit where the `chars`-th code point starts.
qint64 unitsForChars(const QString& text, qint64 chars) {
    qint64 units = 0;
    for (qint64 c = 0; c < chars && units < text.size(); ++c)
        units += (text.at(units).isHighSurrogate() && units + 1 < text.size()) ? 2 : 1;
    return units;
}

bool barren(AtspiAccessible* obj) {
    switch (atspi_accessible_get_role(obj, nullptr)) {
        case ATSPI_ROLE_MENU_BAR:
        case ATSPI_ROLE_MENU:
        case ATSPI_ROLE_TOOL_BAR:
        case ATSPI_ROLE_STATUS_BAR:
        case ATSPI_ROLE_PUSH_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON:
        case ATSPI_ROLE_LABEL:
        case ATSPI_ROLE_SCROLL_BAR:
        case ATSPI_ROLE_SEPARATOR:
        case ATSPI_ROLE_ICON:
        case ATSPI_ROLE_IMAGE:
            return true;
        default:
            return false;
    }
}

// What a walk over a tree may spend: nodes visited and time.
struct WalkBudget {
    int nodes = AtspiAccessibility::kMaxNodes;
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(AtspiAccessibility::kWalkMs);
    bool spent() { return --nodes < 0 || std::chrono::steady_clock::now() >= deadline; }
};

// Depth-first search below `node` within the bounds: the innermost match first
// (the focused field inside a focused pane), or with `outer` the outermost (a page,
// not the frames inside it).
Accessible find(AtspiAccessible* node, const std::function<bool(AtspiAccessible*)>& match,
                bool outer, int depth, WalkBudget* budget, int* error) {
    if (budget->spent() || depth > AtspiAccessibility::kMaxDepth) return nullptr;
    GErrorSlot err;
    const gint n = atspi_accessible_get_child_count(node, err.out());
    if (err) {
        *error = err.take();
        return nullptr;
    }
    for (gint i = 0; i < n && budget->nodes >= 0; ++i) {
        Accessible child(atspi_accessible_get_child_at_index(node, i, err.out()));
        if (!child) {
            if (err) *error = err.take();
            continue;
        }
        // Hidden subtrees (other tabs, closed menus) cannot hold the focus, and bars of
        // buttons and menus hold no text field: the small budget goes to the rest.
        const bool showing = hasState(child.get(), ATSPI_STATE_SHOWING) && !barren(child.get());
        if (outer && showing && match(child.get())) return child;
        // A focused editor is the answer, not its viewport: Qt's scroll areas say the
        // viewport inside has the focus too.
        if (!outer && showing && match(child.get()) && hasState(child.get(), ATSPI_STATE_EDITABLE))
            return child;
        if (showing)
            if (Accessible found = find(child.get(), match, outer, depth + 1, budget, error))
                return found;
        if (!outer && match(child.get())) return child;
    }
    return nullptr;
}

bool hasDocument(AtspiAccessible* obj) {
    return GObjectPtr<AtspiDocument>(atspi_accessible_get_document_iface(obj)) != nullptr;
}

bool isDocument(AtspiAccessible* obj) {
    GErrorSlot err;
    const AtspiRole r = atspi_accessible_get_role(obj, err.out());
    return (r == ATSPI_ROLE_DOCUMENT_WEB || r == ATSPI_ROLE_DOCUMENT_FRAME) && hasDocument(obj);
}

// The page address a document states: Firefox and Chromium say "DocURL"; some say "URI" or "URL".
std::optional<QString> docUrl(AtspiAccessible* doc, int* error) {
    const GObjectPtr<AtspiDocument> d(atspi_accessible_get_document_iface(doc));
    if (!d) return std::nullopt;
    GErrorSlot err;
    const GHashTablePtr attrs(atspi_document_get_document_attributes(d.get(), err.out()));
    if (!attrs) {
        *error = err.take();
        return std::nullopt;
    }
    for (const char* key : {"DocURL", "URI", "URL"})
        if (auto* v = static_cast<const gchar*>(g_hash_table_lookup(attrs.get(), key)); v && *v)
            return QString::fromUtf8(v);
    return std::nullopt;
}

}  // namespace

AtspiAccessibility::AtspiAccessibility() {
    // Listening from the start catches the focus changes made before the first dictation.
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
        !qEnvironmentVariableIsEmpty("AT_SPI_BUS_ADDRESS"))
        ready();
}

AtspiAccessibility::~AtspiAccessibility() {
    if (focusListener_)
        atspi_event_listener_deregister(focusListener_.get(), "object:state-changed:focused",
                                        nullptr);
}

void AtspiAccessibility::onFocusEvent(AtspiEvent* event, void* self) {
    // The listener owns each event it is given.
    const std::unique_ptr<AtspiEvent, void (*)(AtspiEvent*)> owned(
        event, [](AtspiEvent* e) { g_boxed_free(atspi_event_get_type(), e); });
    auto* me = static_cast<AtspiAccessibility*>(self);
    if (!event->source || event->detail1 != 1) return;
    // The application object is libatspi's own, known without asking the bus.
    Accessible app(atspi_accessible_get_application(event->source, nullptr));
    if (app) me->rememberFocus(std::move(app), newRef(event->source));
}

void AtspiAccessibility::rememberFocus(Accessible app, Accessible element) {
    auto it = std::find_if(lastFocus_.begin(), lastFocus_.end(),
                           [&](const FocusSeen& f) { return f.app == app; });
    if (it == lastFocus_.end()) {
        if (lastFocus_.size() >= 32) lastFocus_.erase(lastFocus_.begin());
        lastFocus_.push_back(FocusSeen{std::move(app), nullptr});
        it = lastFocus_.end() - 1;
    }
    it->element = std::move(element);
}

void AtspiAccessibility::quietStates() {
    // libatspi listens to every state change on the bus to keep its cache of states; a GTK
    // editor sends a few for every key typed into it (its undo and redo buttons going off and
    // on), and each would wake this thread while the typing runs. Only the states read here
    // are followed; the cache stays right for those.
    DBusConnection* bus = atspi_get_a11y_bus();
    if (!bus) return;
    static const char* const kRule =
        "type='signal',interface='org.a11y.atspi.Event.Object',member='StateChanged'";
    for (const char* state : {"focused", "active", "editable", "showing", "defunct"})
        dbus_bus_add_match(bus, (std::string(kRule) + ",arg0='" + state + "'").c_str(), nullptr);
    dbus_bus_remove_match(bus, kRule, nullptr);
}

void AtspiAccessibility::followFocus() {
    // Screen readers follow focus through these events rather than searching trees: the
    // probe then asks one question of the element it was told about.
    focusListener_.reset(
        atspi_event_listener_new(&AtspiAccessibility::onFocusEvent, this, nullptr));
    GErrorSlot err;
    if (!focusListener_ || !atspi_event_listener_register(
                               focusListener_.get(), "object:state-changed:focused", err.out()))
        focusListener_.reset();
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
        if (initState_ != 0) {
            Log::write(QStringLiteral("Accessibility: the AT-SPI bus is not reachable"));
        } else {
            quietStates();
            followFocus();
        }
    }
    return initState_ == 0;
}

void AtspiAccessibility::setCallTimeout(int ms) {
    if (ready()) atspi_set_timeout(ms, ms);
}

AtspiAccessibility::Accessible AtspiAccessibility::application(qint64 pid, int* error) {
    *error = 0;
    if (!ready() || pid <= 0) return nullptr;
    auto known = [&](qint64 p) {
        return std::find_if(apps_.begin(), apps_.end(),
                            [p](const KnownApp& a) { return a.pid == p; });
    };
    // A remembered application is checked with one cheap call: a process that
    // quit answers with an error.
    if (auto it = known(pid); it != apps_.end()) {
        GErrorSlot err;
        atspi_accessible_get_child_count(it->root.get(), err.out());
        if (!err) return newRef(it->root.get());
    }
    const Accessible desktop(atspi_get_desktop(0));
    if (!desktop) return nullptr;
    GErrorSlot err;
    const gint n = atspi_accessible_get_child_count(desktop.get(), err.out());
    if (err) {
        *error = err.take();
        return nullptr;
    }
    // Asking for a process id is a round trip to the bus: each application is asked once.
    std::vector<KnownApp> seen;
    for (gint i = 0; i < n; ++i) {
        Accessible app(atspi_accessible_get_child_at_index(desktop.get(), i, err.out()));
        if (!app) continue;
        auto before = std::find_if(apps_.begin(), apps_.end(),
                                   [&](const KnownApp& a) { return a.root == app; });
        qint64 appPid = 0;
        if (before != apps_.end()) {
            appPid = before->pid;
        } else {
            GErrorSlot pidErr;
            const guint p = atspi_accessible_get_process_id(app.get(), pidErr.out());
            appPid = pidErr ? 0 : static_cast<qint64>(p);
        }
        seen.push_back(KnownApp{std::move(app), appPid});
    }
    apps_ = std::move(seen);
    if (auto it = known(pid); it != apps_.end()) return newRef(it->root.get());
    return nullptr;
}

AtspiAccessibility::Accessible AtspiAccessibility::activeWindow(AtspiAccessible* app, int* error) {
    GErrorSlot err;
    const gint n = atspi_accessible_get_child_count(app, err.out());
    if (err) {
        *error = err.take();
        return nullptr;
    }
    for (gint i = 0; i < n; ++i) {
        Accessible w(atspi_accessible_get_child_at_index(app, i, err.out()));
        if (!w) {
            if (err) *error = err.take();
            continue;
        }
        if (hasState(w.get(), ATSPI_STATE_ACTIVE)) return w;
    }
    return nullptr;
}

AxResult<ElementRef> AtspiAccessibility::focusedElement(qint64 pid) {
    int error = 0;
    const Accessible app = application(pid, &error);
    if (!app) return AxResult<ElementRef>::failed(error);
    // The element the application last said got the focus, when it still has it.
    for (const FocusSeen& f : lastFocus_)
        if (f.app == app && f.element && hasState(f.element.get(), ATSPI_STATE_FOCUSED))
            return AxResult<ElementRef>::of(
                std::make_shared<AtspiElement>(newRef(f.element.get())));
    const Accessible window = activeWindow(app.get(), &error);
    if (!window) return AxResult<ElementRef>::failed(error);
    Accessible focused;
    if (const GObjectPtr<AtspiCollection> collection(
            atspi_accessible_get_collection_iface(window.get()));
        collection) {
        // One request: the toolkit searches its own tree.
        const GObjectPtr<AtspiStateSet> states(atspi_state_set_new(nullptr));
        atspi_state_set_add(states.get(), ATSPI_STATE_FOCUSED);
        const GObjectPtr<AtspiMatchRule> rule(atspi_match_rule_new(
            states.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_NONE, nullptr,
            ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
        GErrorSlot err;
        ObjectArray<AtspiAccessible> matches(atspi_collection_get_matches(
            collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE,
            err.out()));
        if (!matches)
            error = err.take();
        else if (matches.size() > 0)
            focused = matches.take(0);
    }
    if (!focused) {
        // Toolkits without that interface (Qt): a walk bounded in nodes and time, done once
        // for the application; focus events keep the answer fresh after.
        WalkBudget budget;
        int walkError = 0;
        focused = find(
            window.get(), [](AtspiAccessible* o) { return hasState(o, ATSPI_STATE_FOCUSED); },
            false, 0, &budget, &walkError);
        if (!focused && walkError) error = walkError;
        // A window that holds the focus itself is all there is to report.
        if (!focused && hasState(window.get(), ATSPI_STATE_FOCUSED)) focused = newRef(window.get());
    }
    if (focused) rememberFocus(newRef(app.get()), newRef(focused.get()));
    if (!focused) return AxResult<ElementRef>::failed(error);
    return AxResult<ElementRef>::of(std::make_shared<AtspiElement>(std::move(focused)));
}

AxResult<QString> AtspiAccessibility::role(const ElementRef& element) {
    AtspiAccessible* obj = unwrap(element);
    if (!obj) return AxResult<QString>::failed(0);
    GErrorSlot err;
    return ownedString(atspi_accessible_get_role_name(obj, err.out()), err);
}

AxResult<ElementKind> AtspiAccessibility::kind(const ElementRef& element) {
    AtspiAccessible* obj = unwrap(element);
    if (!obj) return AxResult<ElementKind>::failed(0);
    // Both come from libatspi's cache when the application feeds it (GTK, Qt, Chromium).
    GErrorSlot err;
    const auto role = ownedString(atspi_accessible_get_role_name(obj, err.out()), err);
    if (!role.value) return AxResult<ElementKind>::failed(role.error);
    return AxResult<ElementKind>::of(ElementKind{*role.value, hasState(obj, ATSPI_STATE_EDITABLE)});
}

AxResult<QString> AtspiAccessibility::value(const ElementRef& element) {
    const auto text = textOf(element);
    if (!text) return AxResult<QString>::failed(0);
    GErrorSlot err;
    const gint count = atspi_text_get_character_count(text.get(), err.out());
    if (err) return AxResult<QString>::failed(err.take());
    return ownedString(atspi_text_get_text(text.get(), 0, count, err.out()), err);
}

AxResult<TextRange> AtspiAccessibility::selectedRange(const ElementRef& element) {
    const auto text = textOf(element);
    if (!text) return AxResult<TextRange>::failed(0);
    GErrorSlot err;
    gint start = -1, end = -1;
    if (atspi_text_get_n_selections(text.get(), err.out()) > 0) {
        if (const GMallocPtr<AtspiRange> r(atspi_text_get_selection(text.get(), 0, err.out())); r) {
            start = std::min(r->start_offset, r->end_offset);
            end = std::max(r->start_offset, r->end_offset);
        }
    }
    if (start < 0) {
        start = end = atspi_text_get_caret_offset(text.get(), err.out());
        if (err) return AxResult<TextRange>::failed(err.take());
    }
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
    GErrorSlot err;
    const GHashTablePtr table(atspi_accessible_get_attributes(obj, err.out()));
    if (!table) return AxResult<QMap<QString, QString>>::failed(err.take());
    QMap<QString, QString> out;
    GHashTableIter it;
    gpointer key = nullptr, val = nullptr;
    g_hash_table_iter_init(&it, table.get());
    while (g_hash_table_iter_next(&it, &key, &val))
        out.insert(QString::fromUtf8(static_cast<const char*>(key)),
                   QString::fromUtf8(static_cast<const char*>(val)));
    return AxResult<QMap<QString, QString>>::of(out);
}

bool AtspiAccessibility::sameElement(const ElementRef& a, const ElementRef& b) {
    // libatspi keeps one object per element of an application for as long as it is
    // referenced, and both references are held here: the same element is the same object.
    AtspiAccessible* x = unwrap(a);
    return x && x == unwrap(b);
}

AxResult<QString> AtspiAccessibility::documentUrl(qint64 pid) {
    int error = 0;
    const Accessible app = application(pid, &error);
    if (!app) return AxResult<QString>::failed(error);
    const Accessible window = activeWindow(app.get(), &error);
    if (!window) return AxResult<QString>::failed(error);
    // Browsers point from the window to the front tab's document ("embeds").
    Accessible doc;
    {
        GErrorSlot err;
        const ObjectArray<AtspiRelation> relations(
            atspi_accessible_get_relation_set(window.get(), err.out()));
        for (guint i = 0; i < relations.size() && !doc; ++i) {
            AtspiRelation* rel = relations.at(i);
            if (atspi_relation_get_relation_type(rel) == ATSPI_RELATION_EMBEDS &&
                atspi_relation_get_n_targets(rel) > 0)
                doc.reset(atspi_relation_get_target(rel, 0));
        }
    }
    if (doc && !hasDocument(doc.get())) doc.reset();
    if (!doc) {
        // Otherwise the first showing document in the window.
        WalkBudget budget;
        doc = find(window.get(), isDocument, true, 0, &budget, &error);
    }
    if (!doc) return AxResult<QString>::failed(error);
    const auto url = docUrl(doc.get(), &error);
    if (!url) return AxResult<QString>::failed(error);
    return AxResult<QString>::of(*url);
}

AxResult<FieldText> AtspiAccessibility::fieldText(const ElementRef& element) {
    const auto text = textOf(element);
    if (!text) return AxResult<FieldText>::failed(0);
    GErrorSlot err;
    // An end of -1 reads to the end in one round trip; a toolkit that answers nothing to it
    // is asked again with the count.
    auto whole = ownedString(atspi_text_get_text(text.get(), 0, -1, err.out()), err);
    if (whole.value && whole.value->isEmpty()) {
        const gint count = atspi_text_get_character_count(text.get(), err.out());
        if (err) return AxResult<FieldText>::failed(err.take());
        if (count > 0)
            whole = ownedString(atspi_text_get_text(text.get(), 0, count, err.out()), err);
    }
    if (!whole.value) return AxResult<FieldText>::failed(whole.error);
    FieldText out{std::move(*whole.value), std::nullopt};
    gint start = -1, end = -1;
    GErrorSlot selErr;
    if (atspi_text_get_n_selections(text.get(), selErr.out()) > 0) {
        if (const GMallocPtr<AtspiRange> r(atspi_text_get_selection(text.get(), 0, selErr.out()));
            r) {
            start = std::min(r->start_offset, r->end_offset);
            end = std::max(r->start_offset, r->end_offset);
        }
    }
    if (start < 0) {
        GErrorSlot caretErr;
        start = end = atspi_text_get_caret_offset(text.get(), caretErr.out());
        if (caretErr) start = -1;
    }
    // The bus counts characters; the rest of the app counts UTF-16 units.
    if (start >= 0) {
        const qint64 from = unitsForChars(out.text, start);
        out.selection = TextRange{from, unitsForChars(out.text, end) - from};
    }
    return AxResult<FieldText>::of(std::move(out));
}

void AtspiAccessibility::readField(const ElementRef& element, int timeoutMs, FieldRead done) {
    AtspiAccessible* obj = unwrap(element);
    const auto* o = reinterpret_cast<const AtspiObject*>(obj);
    if (!obj || !o->app || !o->app->bus_name || !o->path)
        return done(AxResult<FieldText>::failed(0), std::nullopt);
    if (!reader_) reader_ = std::make_unique<AtspiFieldReader>();
    reader_->read(AtspiFieldReader::Target{QByteArray(o->app->bus_name), QByteArray(o->path)},
                  timeoutMs, std::move(done));
}

}  // namespace platform::x11

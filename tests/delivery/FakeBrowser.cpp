// A stand-in browser on the accessibility bus: an application with one window
// showing one web document whose "DocURL" the tests choose. It also owns an X
// window with Firefox's WM_CLASS, so the desktop sees a browser.
//   velmora_fake_browser --url URL [--no-embeds] [--inactive]
// Prints "ready <x window id>" once registered; quits when stdin closes.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <atspi/atspi-constants.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* kIntrospection = R"xml(<node>
 <interface name="org.a11y.atspi.Accessible">
  <property name="Name" type="s" access="read"/>
  <property name="Description" type="s" access="read"/>
  <property name="Parent" type="(so)" access="read"/>
  <property name="ChildCount" type="i" access="read"/>
  <property name="Locale" type="s" access="read"/>
  <property name="AccessibleId" type="s" access="read"/>
  <method name="GetChildAtIndex"><arg direction="in" type="i"/><arg direction="out" type="(so)"/></method>
  <method name="GetChildren"><arg direction="out" type="a(so)"/></method>
  <method name="GetIndexInParent"><arg direction="out" type="i"/></method>
  <method name="GetRelationSet"><arg direction="out" type="a(ua(so))"/></method>
  <method name="GetRole"><arg direction="out" type="u"/></method>
  <method name="GetRoleName"><arg direction="out" type="s"/></method>
  <method name="GetLocalizedRoleName"><arg direction="out" type="s"/></method>
  <method name="GetState"><arg direction="out" type="au"/></method>
  <method name="GetAttributes"><arg direction="out" type="a{ss}"/></method>
  <method name="GetApplication"><arg direction="out" type="(so)"/></method>
  <method name="GetInterfaces"><arg direction="out" type="as"/></method>
 </interface>
 <interface name="org.a11y.atspi.Application">
  <property name="ToolkitName" type="s" access="read"/>
  <property name="Version" type="s" access="read"/>
  <property name="AtspiVersion" type="s" access="read"/>
  <property name="Id" type="i" access="readwrite"/>
 </interface>
 <interface name="org.a11y.atspi.Document">
  <method name="GetLocale"><arg direction="out" type="s"/></method>
  <method name="GetAttributeValue"><arg direction="in" type="s"/><arg direction="out" type="s"/></method>
  <method name="GetAttributes"><arg direction="out" type="a{ss}"/></method>
 </interface>
</node>)xml";

const char* kBase = "/org/a11y/atspi/accessible";

const char* kCacheIntrospection = R"xml(<node>
 <interface name="org.a11y.atspi.Cache">
  <method name="GetItems"><arg direction="out" type="a((so)(so)(so)iiassusau)"/></method>
 </interface>
</node>)xml";

// Nothing is cached up front: readers ask each object.
void cacheCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
               GDBusMethodInvocation* inv, gpointer) {
    GVariant* items[] = {
        g_variant_new_array(G_VARIANT_TYPE("((so)(so)(so)iiassusau)"), nullptr, 0)};
    g_dbus_method_invocation_return_value(inv, g_variant_new_tuple(items, 1));
}
const GDBusInterfaceVTable kCacheVTable = {cacheCall, nullptr, nullptr, {nullptr}};

struct Node {
    std::string id;  // path below kBase
    AtspiRole role;
    const char* roleName;
    int parent;  // index, -1 for the root
    std::vector<int> children;
    std::vector<AtspiStateType> states;
    bool document = false;
};

std::vector<Node> gNodes;
std::string gBusName, gUrl;
bool gEmbeds = true;
GDBusNodeInfo* gInfo = nullptr;
int gAppId = 0;

int indexOf(const char* node) {
    for (size_t i = 0; i < gNodes.size(); ++i)
        if (node && gNodes[i].id == node) return static_cast<int>(i);
    return -1;
}

GVariant* ref(int i) {
    if (i < 0) return g_variant_new("(so)", "", "/org/a11y/atspi/null");
    return g_variant_new("(so)", gBusName.c_str(),
                         (std::string(kBase) + "/" + gNodes[i].id).c_str());
}

void call(GDBusConnection*, const gchar*, const gchar*, const gchar* iface, const gchar* method,
          GVariant* params, GDBusMethodInvocation* inv, gpointer data) {
    const int i = GPOINTER_TO_INT(data);
    const Node& n = gNodes[i];
    const std::string m = method;
    if (!strcmp(iface, "org.a11y.atspi.Document")) {
        if (m == "GetLocale")
            return g_dbus_method_invocation_return_value(inv, g_variant_new("(s)", "en_US"));
        if (m == "GetAttributeValue") {
            const gchar* key = nullptr;
            g_variant_get(params, "(&s)", &key);
            return g_dbus_method_invocation_return_value(
                inv, g_variant_new("(s)", !strcmp(key, "DocURL") ? gUrl.c_str() : ""));
        }
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a{ss}"));
        g_variant_builder_add(&b, "{ss}", "DocURL", gUrl.c_str());
        g_variant_builder_add(&b, "{ss}", "MimeType", "text/html");
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(a{ss})", &b));
    }
    if (m == "GetChildAtIndex") {
        gint k = 0;
        g_variant_get(params, "(i)", &k);
        const int child = (k >= 0 && k < static_cast<int>(n.children.size())) ? n.children[k] : -1;
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(@(so))", ref(child)));
    }
    if (m == "GetChildren") {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(so)"));
        for (int c : n.children) g_variant_builder_add_value(&b, ref(c));
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(a(so))", &b));
    }
    if (m == "GetIndexInParent") {
        int k = -1;
        if (n.parent >= 0)
            for (size_t j = 0; j < gNodes[n.parent].children.size(); ++j)
                if (gNodes[n.parent].children[j] == i) k = static_cast<int>(j);
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(i)", k));
    }
    if (m == "GetRelationSet") {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a(ua(so))"));
        if (gEmbeds && n.role == ATSPI_ROLE_FRAME) {
            GVariantBuilder targets;
            g_variant_builder_init(&targets, G_VARIANT_TYPE("a(so)"));
            for (size_t j = 0; j < gNodes.size(); ++j)
                if (gNodes[j].document)
                    g_variant_builder_add_value(&targets, ref(static_cast<int>(j)));
            g_variant_builder_add(&b, "(ua(so))", static_cast<guint32>(ATSPI_RELATION_EMBEDS),
                                  &targets);
        }
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(a(ua(so)))", &b));
    }
    if (m == "GetRole")
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(u)", n.role));
    if (m == "GetRoleName" || m == "GetLocalizedRoleName")
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(s)", n.roleName));
    if (m == "GetState") {
        guint32 bits[2] = {0, 0};
        for (AtspiStateType s : n.states) bits[s / 32] |= 1u << (s % 32);
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("au"));
        g_variant_builder_add(&b, "u", bits[0]);
        g_variant_builder_add(&b, "u", bits[1]);
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(au)", &b));
    }
    if (m == "GetAttributes") {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("a{ss}"));
        g_variant_builder_add(&b, "{ss}", "toolkit", "velmora-fake");
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(a{ss})", &b));
    }
    if (m == "GetApplication")
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(@(so))", ref(0)));
    if (m == "GetInterfaces") {
        GVariantBuilder b;
        g_variant_builder_init(&b, G_VARIANT_TYPE("as"));
        g_variant_builder_add(&b, "s", "org.a11y.atspi.Accessible");
        if (i == 0) g_variant_builder_add(&b, "s", "org.a11y.atspi.Application");
        if (n.document) g_variant_builder_add(&b, "s", "org.a11y.atspi.Document");
        return g_dbus_method_invocation_return_value(inv, g_variant_new("(as)", &b));
    }
    g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.DBus.Error.UnknownMethod",
                                               method);
}

GVariant* property(GDBusConnection*, const gchar*, const gchar*, const gchar* iface,
                   const gchar* name, GError**, gpointer data) {
    const int i = GPOINTER_TO_INT(data);
    const Node& n = gNodes[i];
    const std::string p = name;
    if (!strcmp(iface, "org.a11y.atspi.Application")) {
        if (p == "Id") return g_variant_new_int32(gAppId);
        if (p == "ToolkitName") return g_variant_new_string("velmora-fake");
        return g_variant_new_string(p == "AtspiVersion" ? "2.1" : "1.0");
    }
    if (p == "Name") return g_variant_new_string(i == 0 ? "FakeBrowser" : n.roleName);
    if (p == "Parent") return ref(n.parent);
    if (p == "ChildCount") return g_variant_new_int32(static_cast<gint32>(n.children.size()));
    if (p == "Locale") return g_variant_new_string("en_US");
    return g_variant_new_string("");
}

gboolean setProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                     GVariant* value, GError**, gpointer) {
    if (!strcmp(name, "Id")) gAppId = g_variant_get_int32(value);
    return TRUE;
}

const GDBusInterfaceVTable kVTable = {call, property, setProperty, {nullptr}};

gchar** enumerate(GDBusConnection*, const gchar*, const gchar*, gpointer) {
    gchar** out = g_new0(gchar*, gNodes.size() + 1);
    for (size_t i = 0; i < gNodes.size(); ++i) out[i] = g_strdup(gNodes[i].id.c_str());
    return out;
}

GDBusInterfaceInfo** introspect(GDBusConnection*, const gchar*, const gchar*, const gchar* node,
                                gpointer) {
    const int i = indexOf(node);
    if (i < 0) return nullptr;
    GPtrArray* list = g_ptr_array_new();
    g_ptr_array_add(list, g_dbus_interface_info_ref(gInfo->interfaces[0]));
    if (i == 0) g_ptr_array_add(list, g_dbus_interface_info_ref(gInfo->interfaces[1]));
    if (gNodes[i].document) g_ptr_array_add(list, g_dbus_interface_info_ref(gInfo->interfaces[2]));
    g_ptr_array_add(list, nullptr);
    return reinterpret_cast<GDBusInterfaceInfo**>(g_ptr_array_free(list, FALSE));
}

const GDBusInterfaceVTable* dispatch(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                     const gchar* node, gpointer* data, gpointer) {
    const int i = indexOf(node);
    if (i < 0) return nullptr;
    *data = GINT_TO_POINTER(i);
    return &kVTable;
}

const GDBusSubtreeVTable kSubtree = {enumerate, introspect, dispatch, {nullptr}};

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};

gboolean stdinClosed(gint fd, GIOCondition, gpointer loop) {
    char buf[256];
    if (read(fd, buf, sizeof buf) > 0) return G_SOURCE_CONTINUE;
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    bool active = true;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--url") && i + 1 < argc)
            gUrl = argv[++i];
        else if (!strcmp(argv[i], "--no-embeds"))
            gEmbeds = false;
        else if (!strcmp(argv[i], "--inactive"))
            active = false;
    }
    const char* address = getenv("AT_SPI_BUS_ADDRESS");
    if (!address) {
        std::fprintf(stderr, "fake browser: AT_SPI_BUS_ADDRESS is not set\n");
        return 2;
    }
    using S = AtspiStateType;
    std::vector<S> frameStates{ATSPI_STATE_SHOWING, ATSPI_STATE_VISIBLE, ATSPI_STATE_ENABLED};
    if (active) frameStates.push_back(ATSPI_STATE_ACTIVE);
    gNodes = {
        {"root", ATSPI_ROLE_APPLICATION, "application", -1, {1}, {}, false},
        {"1", ATSPI_ROLE_FRAME, "frame", 0, {2}, frameStates, false},
        {"2",
         ATSPI_ROLE_FILLER,
         "filler",
         1,
         {3},
         {ATSPI_STATE_SHOWING, ATSPI_STATE_VISIBLE},
         false},
        {"3",
         ATSPI_ROLE_DOCUMENT_WEB,
         "document web",
         2,
         {},
         {ATSPI_STATE_SHOWING, ATSPI_STATE_VISIBLE},
         true},
    };

    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) {
        std::fprintf(stderr, "fake browser: %s\n", error->message);
        return 2;
    }
    gBusName = g_dbus_connection_get_unique_name(bus);
    gInfo = g_dbus_node_info_new_for_xml(kIntrospection, &error);
    g_dbus_connection_register_subtree(bus, kBase, &kSubtree,
                                       G_DBUS_SUBTREE_FLAGS_DISPATCH_TO_UNENUMERATED_NODES, nullptr,
                                       nullptr, &error);
    g_autoptr(GDBusNodeInfo) cacheInfo = g_dbus_node_info_new_for_xml(kCacheIntrospection, &error);
    g_dbus_connection_register_object(bus, "/org/a11y/atspi/cache", cacheInfo->interfaces[0],
                                      &kCacheVTable, nullptr, nullptr, &error);
    g_autoptr(GVariant) embedded = g_dbus_connection_call_sync(
        bus, "org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root", "org.a11y.atspi.Socket",
        "Embed", g_variant_new("((so))", gBusName.c_str(), "/org/a11y/atspi/accessible/root"),
        G_VARIANT_TYPE("((so))"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (!embedded) {
        std::fprintf(stderr, "fake browser: can't join the registry: %s\n", error->message);
        return 2;
    }

    // A window the desktop can see, named like Firefox's.
    const std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    Display* d = display.get();
    unsigned long window = 0;
    if (d) {
        window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
        XClassHint hint{const_cast<char*>("Navigator"), const_cast<char*>("firefox")};
        XSetClassHint(d, window, &hint);
        const long pid = getpid();
        XChangeProperty(d, window, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
        XSync(d, False);
    }
    std::printf("ready %lu\n", window);
    std::fflush(stdout);

    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                  stdinClosed, loop);
    g_main_loop_run(loop);
    return 0;
}

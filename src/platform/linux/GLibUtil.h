#pragma once
// Owners for GLib and GObject handles (GIO, libatspi), in the shape of X11Util's.
#include <glib.h>

#include <memory>
#include <utility>

namespace platform::x11 {

struct GObjectUnref {
    void operator()(void* object) const;
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

void* refObject(void* object);
// A reference of our own to an object someone else holds.
template <typename T>
GObjectPtr<T> newRef(T* object) {
    return GObjectPtr<T>(static_cast<T*>(refObject(object)));
}

struct GFreer {
    void operator()(void* p) const { g_free(p); }
};
// Memory from g_malloc: strings and boxed structs the caller must free.
template <typename T>
using GMallocPtr = std::unique_ptr<T, GFreer>;

struct GVariantUnref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

struct GHashTableUnref {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using GHashTablePtr = std::unique_ptr<GHashTable, GHashTableUnref>;

// A GArray of object references that come with it: those not taken go with the array.
template <typename T>
class ObjectArray {
  public:
    explicit ObjectArray(GArray* array) : array_(array) {}
    ~ObjectArray() {
        if (!array_) return;
        for (guint i = 0; i < array_->len; ++i) GObjectPtr<T> drop(slot(i));
        g_array_free(array_, TRUE);
    }
    ObjectArray(const ObjectArray&) = delete;
    ObjectArray& operator=(const ObjectArray&) = delete;

    explicit operator bool() const { return array_ != nullptr; }
    guint size() const { return array_ ? array_->len : 0; }
    // Borrowed: the array keeps it.
    T* at(guint i) const { return g_array_index(array_, T*, i); }
    GObjectPtr<T> take(guint i) { return GObjectPtr<T>(std::exchange(slot(i), nullptr)); }

  private:
    T*& slot(guint i) const { return g_array_index(array_, T*, i); }
    GArray* array_;
};

// Where a call puts its GError: pass out() (which drops an earlier error), test, then take()
// the code or let the slot free it.
class GErrorSlot {
  public:
    GErrorSlot() = default;
    ~GErrorSlot() { clear(); }
    GErrorSlot(const GErrorSlot&) = delete;
    GErrorSlot& operator=(const GErrorSlot&) = delete;

    GError** out() {
        clear();
        return &error_;
    }
    explicit operator bool() const { return error_ != nullptr; }
    // The error's code (-1 for one without a code), or `fallback` when there is none; the
    // error is dropped.
    int take(int fallback = 0) {
        const int code = error_ ? (error_->code != 0 ? error_->code : -1) : fallback;
        clear();
        return code;
    }

  private:
    void clear() { g_clear_error(&error_); }
    GError* error_ = nullptr;
};

}  // namespace platform::x11

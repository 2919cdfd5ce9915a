#include "platform/linux/GLibUtil.h"

#include <glib-object.h>

namespace platform::x11 {

void GObjectUnref::operator()(void* object) const {
    g_object_unref(object);
}

void* refObject(void* object) {
    return object ? g_object_ref(object) : nullptr;
}

}  // namespace platform::x11

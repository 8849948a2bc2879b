#include "app/resources.h"

#include <QtGlobal>

// Outside any namespace, as the resource initialiser requires.
static void InitKestrelResources() {
    Q_INIT_RESOURCE(appkit_resources);
}

namespace kestrel {

void InitAppResources() {
    // Also keeps the resource object from being dropped when the library is linked.
    static const bool done = [] {
        InitKestrelResources();
        return true;
    }();
    (void)done;
}

} // namespace kestrel

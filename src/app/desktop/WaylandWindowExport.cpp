#include "app/desktop/WaylandWindowExport.h"

#include "xdg-foreign-unstable-v2-client-protocol.h"

#include <QGuiApplication>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>

#include <cstring>
#include <wayland-client.h>

namespace {

const wl_registry_listener registryListener{
    [](void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t) {
        auto** exporter = static_cast<zxdg_exporter_v2**>(data);
        if (!*exporter && std::strcmp(interface, zxdg_exporter_v2_interface.name) == 0)
            *exporter = static_cast<zxdg_exporter_v2*>(wl_registry_bind(registry, id, &zxdg_exporter_v2_interface, 1));
    },
    [](void*, wl_registry*, uint32_t) {}};

const zxdg_exported_v2_listener exportedListener{[](void* data, zxdg_exported_v2*, const char* handle) {
    *static_cast<QString*>(data) = QString::fromUtf8(handle);
}};

} // namespace

WaylandWindowExport::WaylandWindowExport(QWindow* window) {
    if (!window || QGuiApplication::platformName() != QLatin1String("wayland")) {
        why_ = QStringLiteral("not a native Wayland window");
        return;
    }
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (!native) {
        why_ = QStringLiteral("no native interface");
        return;
    }
    display_ = static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display"));
    auto* surface = static_cast<wl_surface*>(native->nativeResourceForWindow("surface", window));
    if (!display_ || !surface) {
        why_ = QStringLiteral("the window has no Wayland surface (not shown)");
        display_ = nullptr;
        return;
    }
    queue_ = wl_display_create_queue(display_);
    auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display_));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue_);
    registry_ = wl_display_get_registry(wrapper);
    wl_proxy_wrapper_destroy(wrapper);
    wl_registry_add_listener(registry_, &registryListener, &exporter_);
    if (wl_display_roundtrip_queue(display_, queue_) < 0) {
        why_ = QStringLiteral("the compositor's connection failed");
        return;
    }
    if (!exporter_) {
        why_ = QStringLiteral("the compositor offers no zxdg_exporter_v2");
        return;
    }
    // the exported object is made on the exporter's queue (ours)
    exported_ = zxdg_exporter_v2_export_toplevel(exporter_, surface);
    zxdg_exported_v2_add_listener(exported_, &exportedListener, &handle_);
    // the handle comes as the answer to the request; two round trips at most
    for (int i = 0; i < 2 && handle_.isEmpty(); ++i)
        if (wl_display_roundtrip_queue(display_, queue_) < 0) break;
    if (handle_.isEmpty()) why_ = QStringLiteral("the compositor sent no handle");
}

WaylandWindowExport::~WaylandWindowExport() {
    if (exported_) zxdg_exported_v2_destroy(exported_);
    if (exporter_) zxdg_exporter_v2_destroy(exporter_);
    if (registry_) wl_registry_destroy(registry_);
    if (queue_) wl_event_queue_destroy(queue_);
    // the destroy requests leave now, not with Qt's next request
    if (display_) wl_display_flush(display_);
}

QString WaylandWindowExport::portalParent() const {
    return handle_.isEmpty() ? QString() : QStringLiteral("wayland:") + handle_;
}

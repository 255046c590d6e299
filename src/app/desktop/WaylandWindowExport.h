#pragma once

#include <QString>

class QWindow;
struct wl_event_queue;
struct wl_registry;
struct zxdg_exporter_v2;
struct zxdg_exported_v2;

// A native Wayland window made known to other programs through xdg-foreign
// (zxdg_exporter_v2): the compositor hands out a handle another client (the
// desktop portal's dialog) can name as its parent, so its dialog is attached
// to this window instead of floating free. The handle is valid while this
// object lives; keep it until the other program's window has closed.
//
// Talks to the compositor over Qt's own connection, on an event queue of its
// own (Qt reads the default queue on its thread). Construction waits for the
// compositor's answer, one round trip.
class WaylandWindowExport final {
public:
    // Exports `window`'s toplevel surface; nothing when the application
    // does not run natively on Wayland, the window has no surface yet (not
    // shown) or the compositor offers no exporter (why() says which).
    explicit WaylandWindowExport(QWindow* window);
    ~WaylandWindowExport();
    WaylandWindowExport(const WaylandWindowExport&) = delete;
    WaylandWindowExport& operator=(const WaylandWindowExport&) = delete;

    // The compositor's handle, empty when not exported.
    const QString& handle() const { return handle_; }
    // The portal's parent_window value: "wayland:<handle>", or empty.
    QString portalParent() const;
    const QString& why() const { return why_; }

private:
    struct wl_display* display_ = nullptr;
    wl_event_queue* queue_ = nullptr;
    wl_registry* registry_ = nullptr;
    zxdg_exporter_v2* exporter_ = nullptr;
    zxdg_exported_v2* exported_ = nullptr;
    QString handle_;
    QString why_;
};

#include "DesktopPlacement.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/x11/gdkx.h>

#include <algorithm>

namespace widgethost {
namespace {

bool isX11(GdkSurface* surface) {
  return surface && GDK_IS_X11_SURFACE(surface);
}

Display* displayOf(GdkSurface* surface) {
  return gdk_x11_display_get_xdisplay(gdk_surface_get_display(surface));
}

// A _NET_WM_STATE change, as a client asks the window manager for one (EWMH).
void addState(Display* display, Window window, const char* first, const char* second) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 1;  // add
  event.xclient.data.l[1] = static_cast<long>(XInternAtom(display, first, False));
  event.xclient.data.l[2] = second ? static_cast<long>(XInternAtom(display, second, False)) : 0;
  event.xclient.data.l[3] = 1;  // from an application
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

// Kept on the screen, whatever screen it was remembered on.
Position onScreen(Display* display, Position where) {
  int width = DisplayWidth(display, DefaultScreen(display));
  int height = DisplayHeight(display, DefaultScreen(display));
  return {std::clamp(where.x, 0, std::max(width - 40, 0)),
          std::clamp(where.y, 0, std::max(height - 40, 0))};
}

}  // namespace

void prepareDesktopWindow(GdkSurface* surface, const std::string& kind,
                          std::optional<Position> where) {
  if (!isX11(surface)) return;
  Display* display = displayOf(surface);
  Window window = gdk_x11_surface_get_xid(surface);
  std::string instance = kind, group = "VorelWidgets";
  XClassHint names{instance.data(), group.data()};
  XSetClassHint(display, window, &names);
  gdk_x11_surface_set_skip_taskbar_hint(surface, TRUE);
  gdk_x11_surface_set_skip_pager_hint(surface, TRUE);
  if (where) {
    *where = onScreen(display, *where);
    XMoveWindow(display, window, where->x, where->y);
    XSizeHints* hints = XAllocSizeHints();
    long supplied = 0;
    XGetWMNormalHints(display, window, hints, &supplied);
    hints->flags |= USPosition;
    hints->x = where->x;
    hints->y = where->y;
    XSetWMNormalHints(display, window, hints);
    XFree(hints);
  }
  XFlush(display);
}

void keepOnDesktop(GdkSurface* surface) {
  if (!isX11(surface)) return;
  Display* display = displayOf(surface);
  Window window = gdk_x11_surface_get_xid(surface);
  addState(display, window, "_NET_WM_STATE_BELOW", "_NET_WM_STATE_STICKY");
  addState(display, window, "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER");
  // On every workspace.
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_WM_DESKTOP", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 0xFFFFFFFF;
  event.xclient.data.l[1] = 1;
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XFlush(display);
}

std::optional<Position> cornerPosition(GdkSurface* surface, int slot, int width) {
  if (!isX11(surface)) return std::nullopt;
  constexpr int margin = 24, gap = 16;
  Display* display = displayOf(surface);
  int screenWidth = DisplayWidth(display, DefaultScreen(display));
  return onScreen(display, {screenWidth - margin - width - slot * (width + gap), margin});
}

std::optional<Position> positionOf(GdkSurface* surface) {
  if (!isX11(surface)) return std::nullopt;
  Display* display = displayOf(surface);
  Window child;
  int x = 0, y = 0;
  if (!XTranslateCoordinates(display, gdk_x11_surface_get_xid(surface), DefaultRootWindow(display),
                             0, 0, &x, &y, &child)) {
    return std::nullopt;
  }
  return Position{x, y};
}

namespace {

bool keptBelow(Display* display, Window window) {
  Atom type;
  int format;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  Atom below = XInternAtom(display, "_NET_WM_STATE_BELOW", False);
  bool found = false;
  if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_STATE", False), 0, 64,
                         False, XA_ATOM, &type, &format, &count, &after, &data) == Success &&
      data && format == 32) {
    auto* atoms = reinterpret_cast<Atom*>(data);
    found = std::find(atoms, atoms + count, below) != atoms + count;
  }
  if (data) XFree(data);
  return found;
}

struct Watch {
  GdkSurface* surface;
  Window window;
  Atom managed;  // WM_STATE: the window manager has taken the window on
  Atom states;   // _NET_WM_STATE
  std::optional<Position> where;
  bool kept = false;
  int asked = 0;  // requests to keep it below, at most a few
  void (*moved)(void*);
  void* data;
};

gboolean xevent(GdkX11Display*, const XEvent* event, gpointer data) {
  auto* watch = static_cast<Watch*>(data);
  if (event->type == ConfigureNotify && event->xconfigure.window == watch->window && watch->kept) {
    watch->moved(watch->data);
  } else if (event->type == PropertyNotify && event->xproperty.window == watch->window &&
             event->xproperty.atom == watch->managed && !watch->kept) {
    // A window manager heeds requests only for windows it manages, and may have placed this one
    // by its own rules: now it is asked to keep it on the desktop and where it was left. Moves
    // count from here.
    keepOnDesktop(watch->surface);
    if (watch->where) {
      Display* display = displayOf(watch->surface);
      Position where = onScreen(display, *watch->where);
      XMoveWindow(display, watch->window, where.x, where.y);
      XFlush(display);
    }
    watch->kept = true;
    watch->asked = 1;
  } else if (event->type == PropertyNotify && event->xproperty.window == watch->window &&
             event->xproperty.atom == watch->states && watch->kept && watch->asked < 4 &&
             !keptBelow(displayOf(watch->surface), watch->window)) {
    // The window manager set the states before it took in the request: ask again.
    ++watch->asked;
    keepOnDesktop(watch->surface);
  }
  return FALSE;  // GDK handles it as ever
}

}  // namespace

void watchDesktopWindow(GdkSurface* surface, std::optional<Position> where, void (*moved)(void*),
                        void* data) {
  if (!isX11(surface)) return;
  Display* display = displayOf(surface);
  auto* watch = new Watch{surface,
                          gdk_x11_surface_get_xid(surface),
                          XInternAtom(display, "WM_STATE", False),
                          XInternAtom(display, "_NET_WM_STATE", False),
                          where,
                          false,
                          0,
                          moved,
                          data};
  g_signal_connect_data(
      gdk_surface_get_display(surface), "xevent", G_CALLBACK(xevent), watch,
      +[](gpointer data, GClosure*) { delete static_cast<Watch*>(data); }, GConnectFlags{});
}

}  // namespace widgethost

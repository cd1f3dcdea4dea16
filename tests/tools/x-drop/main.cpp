// x-drop: what the desktop tests need from X beyond xdotool.
//
//   x-drop drop WINDOW X Y URI...   drags the URIs (text/uri-list, offering only copy) onto
//                                   WINDOW at (X, Y) in its coordinates, by the XDND protocol;
//                                   prints the action the target took; exit 0 when the drop
//                                   was accepted and finished
//   x-drop close WINDOW             asks WINDOW to close, as its close box does
//   x-drop tray                     exit 0 when a tray host owns the system tray
//   x-drop wm                       exit 0 when a window manager runs
//   x-drop embedded NAME            prints "X Y W H" (root coordinates) of the first window
//                                   named NAME inside another client's window (a tray icon)
//
// Every wait is bounded (5 s); exit 1 on failure, 2 on bad arguments.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const int TIMEOUT_MS = 5000;
const long XDND_VERSION = 5;

Atom atom(Display* d, const char* name) { return XInternAtom(d, name, False); }

// Waits for an event that `take` accepts; false after the time-out.
bool waitFor(Display* d, const std::function<bool(XEvent&)>& take) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TIMEOUT_MS);
  for (;;) {
    while (XPending(d)) {
      XEvent e;
      XNextEvent(d, &e);
      if (take(e)) return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{ConnectionNumber(d), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
}

void clientMessage(Display* d, Window to, Atom type, long l0, long l1, long l2, long l3, long l4) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = to;
  e.xclient.message_type = type;
  e.xclient.format = 32;
  long* l = e.xclient.data.l;
  l[0] = l0, l[1] = l1, l[2] = l2, l[3] = l3, l[4] = l4;
  XSendEvent(d, to, False, NoEventMask, &e);
  XFlush(d);
}

// A server time stamp, from a property change on our own window.
Time serverTime(Display* d, Window w) {
  XSelectInput(d, w, PropertyChangeMask);
  const Atom stamp = atom(d, "X_DROP_TIME");
  XChangeProperty(d, w, stamp, XA_STRING, 8, PropModeAppend, nullptr, 0);
  Time time = CurrentTime;
  waitFor(d, [&](XEvent& e) {
    if (e.type != PropertyNotify || e.xproperty.atom != stamp) return false;
    time = e.xproperty.time;
    return true;
  });
  return time;
}

bool isAware(Display* d, Window w) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  const bool aware = XGetWindowProperty(d, w, atom(d, "XdndAware"), 0, 1, False, AnyPropertyType, &type, &format,
                                        &count, &after, &data) == Success &&
                     type != None;
  if (data) XFree(data);
  return aware;
}

int drop(Display* d, Window target, int x, int y, const std::vector<std::string>& uris) {
  std::string list;
  for (const std::string& uri : uris) list += uri + "\r\n";
  const Window root = DefaultRootWindow(d);
  const Window source = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
  const Time time = serverTime(d, source);
  const Atom selection = atom(d, "XdndSelection"), uriList = atom(d, "text/uri-list");
  const Atom copy = atom(d, "XdndActionCopy");
  XSetSelectionOwner(d, selection, source, time);
  if (!isAware(d, target)) {
    std::fprintf(stderr, "x-drop: window 0x%lx takes no drops\n", target);
    return 1;
  }
  int rootX = 0, rootY = 0;
  Window child;
  XTranslateCoordinates(d, target, root, x, y, &rootX, &rootY, &child);

  clientMessage(d, target, atom(d, "XdndEnter"), static_cast<long>(source), XDND_VERSION << 24,
                static_cast<long>(uriList), 0, 0);
  clientMessage(d, target, atom(d, "XdndPosition"), static_cast<long>(source), 0, (rootX << 16) | rootY,
                static_cast<long>(time), static_cast<long>(copy));
  const Atom status = atom(d, "XdndStatus"), finished = atom(d, "XdndFinished");
  bool accepted = false;
  if (!waitFor(d, [&](XEvent& e) {
        if (e.type != ClientMessage || e.xclient.message_type != status) return false;
        accepted = (e.xclient.data.l[1] & 1) != 0;
        return true;
      })) {
    std::fprintf(stderr, "x-drop: no XdndStatus\n");
    return 1;
  }
  if (!accepted) {
    clientMessage(d, target, atom(d, "XdndLeave"), static_cast<long>(source), 0, 0, 0, 0);
    std::printf("refused\n");
    return 1;
  }
  clientMessage(d, target, atom(d, "XdndDrop"), static_cast<long>(source), 0, static_cast<long>(time), 0, 0);
  long success = 0;
  Atom action = None;
  const bool done = waitFor(d, [&](XEvent& e) {
    if (e.type == SelectionRequest) {
      XSelectionRequestEvent& r = e.xselectionrequest;
      XEvent reply{};
      reply.xselection.type = SelectionNotify;
      reply.xselection.requestor = r.requestor;
      reply.xselection.selection = r.selection;
      reply.xselection.target = r.target;
      reply.xselection.time = r.time;
      reply.xselection.property = None;
      if (r.target == uriList) {
        XChangeProperty(d, r.requestor, r.property, uriList, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(list.data()), static_cast<int>(list.size()));
        reply.xselection.property = r.property;
      }
      XSendEvent(d, r.requestor, False, NoEventMask, &reply);
      XFlush(d);
      return false;
    }
    if (e.type != ClientMessage || e.xclient.message_type != finished) return false;
    success = e.xclient.data.l[1] & 1;
    action = static_cast<Atom>(e.xclient.data.l[2]);
    return true;
  });
  if (!done) {
    std::fprintf(stderr, "x-drop: no XdndFinished\n");
    return 1;
  }
  char* name = action != None ? XGetAtomName(d, action) : nullptr;
  std::printf("%s\n", name ? name : "none");
  if (name) XFree(name);
  return success ? 0 : 1;
}

int closeWindow(Display* d, Window w) {
  clientMessage(d, w, atom(d, "WM_PROTOCOLS"), static_cast<long>(atom(d, "WM_DELETE_WINDOW")), CurrentTime, 0, 0, 0);
  return 0;
}

int trayOwned(Display* d) {
  const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(d));
  return XGetSelectionOwner(d, atom(d, name.c_str())) != None ? 0 : 1;
}

int windowManagerRuns(Display* d) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  const bool runs = XGetWindowProperty(d, DefaultRootWindow(d), atom(d, "_NET_SUPPORTING_WM_CHECK"), 0, 1, False,
                                       XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
                    count == 1;
  if (data) XFree(data);
  return runs ? 0 : 1;
}

// Depth-first; `embedded` once below a top-level client.
bool findEmbedded(Display* d, Window w, const std::string& name, bool embedded, Window* found) {
  char* windowName = nullptr;
  if (embedded && XFetchName(d, w, &windowName) && windowName) {
    const bool match = name == windowName;
    XFree(windowName);
    if (match) {
      *found = w;
      return true;
    }
  }
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, w, &root, &parent, &children, &count)) return false;
  bool hit = false;
  for (unsigned i = 0; i < count && !hit; ++i) {
    XClassHint hint{};
    const bool client = XGetClassHint(d, children[i], &hint);
    if (hint.res_name) XFree(hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    hit = findEmbedded(d, children[i], name, embedded || (client && w != root), found);
  }
  if (children) XFree(children);
  return hit;
}

int embedded(Display* d, const std::string& name) {
  Window found = None;
  if (!findEmbedded(d, DefaultRootWindow(d), name, false, &found)) return 1;
  XWindowAttributes a;
  XGetWindowAttributes(d, found, &a);
  int x = 0, y = 0;
  Window child;
  XTranslateCoordinates(d, found, DefaultRootWindow(d), 0, 0, &x, &y, &child);
  std::printf("%d %d %d %d\n", x, y, a.width, a.height);
  return 0;
}

Window windowArgument(const char* text) { return static_cast<Window>(std::strtoul(text, nullptr, 0)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  Display* d = XOpenDisplay(nullptr);
  if (!d) {
    std::fprintf(stderr, "x-drop: no display\n");
    return 1;
  }
  const std::string command = argv[1];
  int result = 2;
  if (command == "drop" && argc >= 6) {
    result = drop(d, windowArgument(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                  std::vector<std::string>(argv + 5, argv + argc));
  } else if (command == "close" && argc == 3) {
    result = closeWindow(d, windowArgument(argv[2]));
  } else if (command == "tray" && argc == 2) {
    result = trayOwned(d);
  } else if (command == "wm" && argc == 2) {
    result = windowManagerRuns(d);
  } else if (command == "embedded" && argc == 3) {
    result = embedded(d, argv[2]);
  }
  XCloseDisplay(d);
  return result;
}

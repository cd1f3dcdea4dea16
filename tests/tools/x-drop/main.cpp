// x-drop: what the desktop tests need from X beyond xdotool.
//
//   x-drop drop WINDOW X Y URI...   drags the URIs (text/uri-list, offering only copy) onto
//                                   WINDOW at (X, Y) in its coordinates, by the XDND protocol;
//                                   prints the action the target took; exit 0 when the drop
//                                   was accepted and finished
//   x-drop close WINDOW             asks WINDOW to close, as its close box does
//   x-drop tray                     exit 0 when a tray host owns the system tray
//
// Every wait is bounded (5 s); exit 1 on failure, 2 on bad arguments.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
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

int drop(Display* d, Window target, int x, int y, const std::vector<std::string>& uris) {
  std::string list;
  for (const std::string& uri : uris) list += uri + "\r\n";
  const Window root = DefaultRootWindow(d);
  const Window source = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
  const Atom selection = atom(d, "XdndSelection"), uriList = atom(d, "text/uri-list");
  const Atom copy = atom(d, "XdndActionCopy");
  XSetSelectionOwner(d, selection, source, CurrentTime);
  int rootX = 0, rootY = 0;
  Window child;
  XTranslateCoordinates(d, target, root, x, y, &rootX, &rootY, &child);

  clientMessage(d, target, atom(d, "XdndEnter"), static_cast<long>(source), XDND_VERSION << 24,
                static_cast<long>(uriList), 0, 0);
  clientMessage(d, target, atom(d, "XdndPosition"), static_cast<long>(source), 0, (rootX << 16) | rootY,
                CurrentTime, static_cast<long>(copy));
  const Atom status = atom(d, "XdndStatus"), finished = atom(d, "XdndFinished");
  bool accepted = false;
  if (!waitFor(d, [&](XEvent& e) {
        if (e.type != ClientMessage || e.xclient.message_type != status) return false;
        accepted = (e.xclient.data.l[1] & 1) != 0;
        return true;
      })) {
    std::fprintf(stderr, "x-drop: no XdndStatus (does the window take drops?)\n");
    return 1;
  }
  if (!accepted) {
    clientMessage(d, target, atom(d, "XdndLeave"), static_cast<long>(source), 0, 0, 0, 0);
    std::printf("refused\n");
    return 1;
  }
  clientMessage(d, target, atom(d, "XdndDrop"), static_cast<long>(source), 0, CurrentTime, 0, 0);
  long success = 0;
  Atom action = None;
  const bool done = waitFor(d, [&](XEvent& e) {
    if (e.type == SelectionRequest) {
      const XSelectionRequestEvent& r = e.xselectionrequest;
      XEvent reply{};
      reply.xselection = {SelectionNotify, 0, True, d, r.requestor, r.selection, r.target, None, r.time};
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
  }
  XCloseDisplay(d);
  return result;
}

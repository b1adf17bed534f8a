// Acts on an X window as another program on the desktop might:
//   x_window_tool destroy WINDOW_ID    destroys it
//   x_window_tool maximise WINDOW_ID   asks the window manager to maximise it
// WINDOW_ID is decimal or 0x hex.
#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: x_window_tool destroy|maximise WINDOW_ID\n");
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "x_window_tool: no display\n");
    return 1;
  }
  const Window window = static_cast<Window>(std::strtoul(argv[2], nullptr, 0));
  int status = 0;
  if (std::strcmp(argv[1], "destroy") == 0) {
    XDestroyWindow(display, window);
  } else if (std::strcmp(argv[1], "maximise") == 0) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = 1;  // add
    e.xclient.data.l[1] = static_cast<long>(XInternAtom(display, "_NET_WM_STATE_MAXIMIZED_VERT", False));
    e.xclient.data.l[2] = static_cast<long>(XInternAtom(display, "_NET_WM_STATE_MAXIMIZED_HORZ", False));
    e.xclient.data.l[3] = 1;  // as a normal application would
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  } else {
    std::fprintf(stderr, "x_window_tool: unknown action %s\n", argv[1]);
    status = 2;
  }
  XSync(display, False);
  XCloseDisplay(display);
  return status;
}

// A stand-in desktop application for the desktop-user tests: one window
// that names this process in _NET_WM_PID, optionally with a window type.
// Prints "ready" once the server has the window, then lives until its
// standard input closes.
//
//   kwo-pidwindow <display> <normal|dialog|untyped>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

void setAtomProperty(Display* dpy, Window win, const char* property, const char* value) {
  Atom atom = XInternAtom(dpy, value, False);
  XChangeProperty(dpy, win, XInternAtom(dpy, property, False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&atom), 1);
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <display> <normal|dialog|untyped>\n", argv[0]);
    return 2;
  }
  Display* dpy = XOpenDisplay(argv[1]);
  if (!dpy) {
    std::fprintf(stderr, "cannot open display %s\n", argv[1]);
    return 1;
  }
  Window win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 40, 30, 0, 0, 0);
  long pid = long(getpid());
  XChangeProperty(dpy, win, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
  if (std::strcmp(argv[2], "normal") == 0)
    setAtomProperty(dpy, win, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL");
  else if (std::strcmp(argv[2], "dialog") == 0)
    setAtomProperty(dpy, win, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG");
  XMapWindow(dpy, win);
  XSync(dpy, False);
  std::printf("ready\n");
  std::fflush(stdout);
  char byte;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }
  XCloseDisplay(dpy);
  return 0;
}

#pragma once

// Xlib's basic types, declared exactly as <X11/Xlib.h> declares them on a
// 64-bit client, so that toolkit headers can name them without pulling in
// Xlib and its macros (Bool, Status, None, True, ...). Repeating a typedef
// for the same type is legal C++, so this header and Xlib mix in any order.

struct _XDisplay;
struct _XGC;

typedef unsigned long XID;
typedef unsigned long Atom;
typedef unsigned long Time;
typedef XID Window;
typedef XID Drawable;
typedef XID Colormap;
typedef XID Font;
typedef XID Pixmap;
typedef struct _XDisplay Display;
typedef struct _XGC* GC;

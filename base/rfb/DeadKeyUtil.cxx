#include "base/rfb/DeadKeyUtil.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "base/plat/StringParameter.h"

#include <pugixml.hpp>

#include <cctype>
#include <cstring>

namespace rfb {

namespace {

plat::LogSrc vlog("DeadKeyUtil");

plat::StringParameter deadKeyFile("DeadKeyFile", "File containing dead key information", "");

// Spacing keysym -> dead keysym. Several spacing forms may share a dead key;
// the first pair of a dead key is the one given back for it.
const std::vector<std::pair<uint32_t, uint32_t>> builtInSpacing = {
  {0x60, 0xfe50},      // grave
  {0x27, 0xfe51},      // apostrophe
  {0xb4, 0xfe51},      // acute
  {0x1000384, 0xfe51}, // Greek tonos
  {0x5e, 0xfe52},      // asciicircum
  {0x7e, 0xfe53},      // asciitilde
  {0xaf, 0xfe54},      // macron
  {0x1a2, 0xfe55},     // breve
  {0x1ff, 0xfe56},     // abovedot
  {0x22, 0xfe57},      // quotedbl
  {0xa8, 0xfe57},      // diaeresis
  {0xb0, 0xfe58},      // degree, for ring above
  {0x1bd, 0xfe59},     // doubleacute
  {0x1b7, 0xfe5a},     // caron
  {0xb8, 0xfe5b},      // cedilla
  {0x1b2, 0xfe5c},     // ogonek
  {0x10002da, 0xfe58}, // U+02DA ring above
  {0x7ae, 0x1000344},  // Greek_accentdieresis
  {0x10002c6, 0xfe52}, // U+02C6 modifier letter circumflex
  {0x10002dc, 0xfe53}, // U+02DC small tilde
};

// The composition groups: each combined keysym is the precomposed character
// made of the base letter and the accent of the dead key (stroke counts as an
// accent, typed with dead_stroke); a space as base gives the spacing form of
// the accent.

// Latin-1: letters with grave, acute, circumflex, tilde, diaeresis, ring,
// cedilla and stroke, and the spacing accents typed with space.
const std::vector<DeadKeyUtil::Composition> latin1 = {
  {0x22, 0xfe57, 0x20}, // quotedbl: dead_diaeresis + space
  {0x27, 0xfe51, 0x20}, // apostrophe: dead_acute + space
  {0x5e, 0xfe52, 0x20}, // asciicircum: dead_circumflex + space
  {0x60, 0xfe50, 0x20}, // grave: dead_grave + space
  {0x7e, 0xfe53, 0x20}, // asciitilde: dead_tilde + space
  {0xa8, 0xfe57, 0x20}, // diaeresis: dead_diaeresis + space
  {0xaf, 0xfe54, 0x20}, // macron: dead_macron + space
  {0xb4, 0xfe51, 0x20}, // acute: dead_acute + space
  {0xb8, 0xfe5b, 0x20}, // cedilla: dead_cedilla + space
  {0xc0, 0xfe50, 0x41}, // Agrave: dead_grave + A
  {0xc1, 0xfe51, 0x41}, // Aacute: dead_acute + A
  {0xc2, 0xfe52, 0x41}, // Acircumflex: dead_circumflex + A
  {0xc3, 0xfe53, 0x41}, // Atilde: dead_tilde + A
  {0xc4, 0xfe57, 0x41}, // Adiaeresis: dead_diaeresis + A
  {0xc5, 0xfe58, 0x41}, // Aring: dead_abovering + A
  {0xc7, 0xfe5b, 0x43}, // Ccedilla: dead_cedilla + C
  {0xc8, 0xfe50, 0x45}, // Egrave: dead_grave + E
  {0xc9, 0xfe51, 0x45}, // Eacute: dead_acute + E
  {0xca, 0xfe52, 0x45}, // Ecircumflex: dead_circumflex + E
  {0xcb, 0xfe57, 0x45}, // Ediaeresis: dead_diaeresis + E
  {0xcc, 0xfe50, 0x49}, // Igrave: dead_grave + I
  {0xcd, 0xfe51, 0x49}, // Iacute: dead_acute + I
  {0xce, 0xfe52, 0x49}, // Icircumflex: dead_circumflex + I
  {0xcf, 0xfe57, 0x49}, // Idiaeresis: dead_diaeresis + I
  {0xd1, 0xfe53, 0x4e}, // Ntilde: dead_tilde + N
  {0xd2, 0xfe50, 0x4f}, // Ograve: dead_grave + O
  {0xd3, 0xfe51, 0x4f}, // Oacute: dead_acute + O
  {0xd4, 0xfe52, 0x4f}, // Ocircumflex: dead_circumflex + O
  {0xd5, 0xfe53, 0x4f}, // Otilde: dead_tilde + O
  {0xd6, 0xfe57, 0x4f}, // Odiaeresis: dead_diaeresis + O
  {0xd8, 0xfe63, 0x4f}, // Oslash: dead_stroke + O
  {0xd9, 0xfe50, 0x55}, // Ugrave: dead_grave + U
  {0xda, 0xfe51, 0x55}, // Uacute: dead_acute + U
  {0xdb, 0xfe52, 0x55}, // Ucircumflex: dead_circumflex + U
  {0xdc, 0xfe57, 0x55}, // Udiaeresis: dead_diaeresis + U
  {0xdd, 0xfe51, 0x59}, // Yacute: dead_acute + Y
  {0xe0, 0xfe50, 0x61}, // agrave: dead_grave + a
  {0xe1, 0xfe51, 0x61}, // aacute: dead_acute + a
  {0xe2, 0xfe52, 0x61}, // acircumflex: dead_circumflex + a
  {0xe3, 0xfe53, 0x61}, // atilde: dead_tilde + a
  {0xe4, 0xfe57, 0x61}, // adiaeresis: dead_diaeresis + a
  {0xe5, 0xfe58, 0x61}, // aring: dead_abovering + a
  {0xe7, 0xfe5b, 0x63}, // ccedilla: dead_cedilla + c
  {0xe8, 0xfe50, 0x65}, // egrave: dead_grave + e
  {0xe9, 0xfe51, 0x65}, // eacute: dead_acute + e
  {0xea, 0xfe52, 0x65}, // ecircumflex: dead_circumflex + e
  {0xeb, 0xfe57, 0x65}, // ediaeresis: dead_diaeresis + e
  {0xec, 0xfe50, 0x69}, // igrave: dead_grave + i
  {0xed, 0xfe51, 0x69}, // iacute: dead_acute + i
  {0xee, 0xfe52, 0x69}, // icircumflex: dead_circumflex + i
  {0xef, 0xfe57, 0x69}, // idiaeresis: dead_diaeresis + i
  {0xf1, 0xfe53, 0x6e}, // ntilde: dead_tilde + n
  {0xf2, 0xfe50, 0x6f}, // ograve: dead_grave + o
  {0xf3, 0xfe51, 0x6f}, // oacute: dead_acute + o
  {0xf4, 0xfe52, 0x6f}, // ocircumflex: dead_circumflex + o
  {0xf5, 0xfe53, 0x6f}, // otilde: dead_tilde + o
  {0xf6, 0xfe57, 0x6f}, // odiaeresis: dead_diaeresis + o
  {0xf8, 0xfe63, 0x6f}, // oslash: dead_stroke + o
  {0xf9, 0xfe50, 0x75}, // ugrave: dead_grave + u
  {0xfa, 0xfe51, 0x75}, // uacute: dead_acute + u
  {0xfb, 0xfe52, 0x75}, // ucircumflex: dead_circumflex + u
  {0xfc, 0xfe57, 0x75}, // udiaeresis: dead_diaeresis + u
  {0xfd, 0xfe51, 0x79}, // yacute: dead_acute + y
  {0xff, 0xfe57, 0x79}, // ydiaeresis: dead_diaeresis + y
};

// Latin-2, with the spacing breve, ogonek, caron, double acute and dot above.
const std::vector<DeadKeyUtil::Composition> latin2 = {
  {0x1a1, 0xfe5c, 0x41}, // Aogonek: dead_ogonek + A
  {0x1a2, 0xfe55, 0x20}, // breve: dead_breve + space
  {0x1a3, 0xfe63, 0x4c}, // Lstroke: dead_stroke + L
  {0x1a5, 0xfe5a, 0x4c}, // Lcaron: dead_caron + L
  {0x1a6, 0xfe51, 0x53}, // Sacute: dead_acute + S
  {0x1a9, 0xfe5a, 0x53}, // Scaron: dead_caron + S
  {0x1aa, 0xfe5b, 0x53}, // Scedilla: dead_cedilla + S
  {0x1ab, 0xfe5a, 0x54}, // Tcaron: dead_caron + T
  {0x1ac, 0xfe51, 0x5a}, // Zacute: dead_acute + Z
  {0x1ae, 0xfe5a, 0x5a}, // Zcaron: dead_caron + Z
  {0x1af, 0xfe56, 0x5a}, // Zabovedot: dead_abovedot + Z
  {0x1b1, 0xfe5c, 0x61}, // aogonek: dead_ogonek + a
  {0x1b2, 0xfe5c, 0x20}, // ogonek: dead_ogonek + space
  {0x1b3, 0xfe63, 0x6c}, // lstroke: dead_stroke + l
  {0x1b5, 0xfe5a, 0x6c}, // lcaron: dead_caron + l
  {0x1b6, 0xfe51, 0x73}, // sacute: dead_acute + s
  {0x1b7, 0xfe5a, 0x20}, // caron: dead_caron + space
  {0x1b9, 0xfe5a, 0x73}, // scaron: dead_caron + s
  {0x1ba, 0xfe5b, 0x73}, // scedilla: dead_cedilla + s
  {0x1bb, 0xfe5a, 0x74}, // tcaron: dead_caron + t
  {0x1bc, 0xfe51, 0x7a}, // zacute: dead_acute + z
  {0x1bd, 0xfe59, 0x20}, // doubleacute: dead_doubleacute + space
  {0x1be, 0xfe5a, 0x7a}, // zcaron: dead_caron + z
  {0x1bf, 0xfe56, 0x7a}, // zabovedot: dead_abovedot + z
  {0x1c0, 0xfe51, 0x52}, // Racute: dead_acute + R
  {0x1c3, 0xfe55, 0x41}, // Abreve: dead_breve + A
  {0x1c5, 0xfe51, 0x4c}, // Lacute: dead_acute + L
  {0x1c6, 0xfe51, 0x43}, // Cacute: dead_acute + C
  {0x1c8, 0xfe5a, 0x43}, // Ccaron: dead_caron + C
  {0x1ca, 0xfe5c, 0x45}, // Eogonek: dead_ogonek + E
  {0x1cc, 0xfe5a, 0x45}, // Ecaron: dead_caron + E
  {0x1cf, 0xfe5a, 0x44}, // Dcaron: dead_caron + D
  {0x1d0, 0xfe63, 0x44}, // Dstroke: dead_stroke + D
  {0x1d1, 0xfe51, 0x4e}, // Nacute: dead_acute + N
  {0x1d2, 0xfe5a, 0x4e}, // Ncaron: dead_caron + N
  {0x1d5, 0xfe59, 0x4f}, // Odoubleacute: dead_doubleacute + O
  {0x1d8, 0xfe5a, 0x52}, // Rcaron: dead_caron + R
  {0x1d9, 0xfe58, 0x55}, // Uring: dead_abovering + U
  {0x1db, 0xfe59, 0x55}, // Udoubleacute: dead_doubleacute + U
  {0x1de, 0xfe5b, 0x54}, // Tcedilla: dead_cedilla + T
  {0x1e0, 0xfe51, 0x72}, // racute: dead_acute + r
  {0x1e3, 0xfe55, 0x61}, // abreve: dead_breve + a
  {0x1e5, 0xfe51, 0x6c}, // lacute: dead_acute + l
  {0x1e6, 0xfe51, 0x63}, // cacute: dead_acute + c
  {0x1e8, 0xfe5a, 0x63}, // ccaron: dead_caron + c
  {0x1ea, 0xfe5c, 0x65}, // eogonek: dead_ogonek + e
  {0x1ec, 0xfe5a, 0x65}, // ecaron: dead_caron + e
  {0x1ef, 0xfe5a, 0x64}, // dcaron: dead_caron + d
  {0x1f0, 0xfe63, 0x64}, // dstroke: dead_stroke + d
  {0x1f1, 0xfe51, 0x6e}, // nacute: dead_acute + n
  {0x1f2, 0xfe5a, 0x6e}, // ncaron: dead_caron + n
  {0x1f5, 0xfe59, 0x6f}, // odoubleacute: dead_doubleacute + o
  {0x1f8, 0xfe5a, 0x72}, // rcaron: dead_caron + r
  {0x1f9, 0xfe58, 0x75}, // uring: dead_abovering + u
  {0x1fb, 0xfe59, 0x75}, // udoubleacute: dead_doubleacute + u
  {0x1fe, 0xfe5b, 0x74}, // tcedilla: dead_cedilla + t
  {0x1ff, 0xfe56, 0x20}, // abovedot: dead_abovedot + space
};

// Latin-3.
const std::vector<DeadKeyUtil::Composition> latin3 = {
  {0x2a1, 0xfe63, 0x48}, // Hstroke: dead_stroke + H
  {0x2a6, 0xfe52, 0x48}, // Hcircumflex: dead_circumflex + H
  {0x2a9, 0xfe56, 0x49}, // Iabovedot: dead_abovedot + I
  {0x2ab, 0xfe55, 0x47}, // Gbreve: dead_breve + G
  {0x2ac, 0xfe52, 0x4a}, // Jcircumflex: dead_circumflex + J
  {0x2b1, 0xfe63, 0x68}, // hstroke: dead_stroke + h
  {0x2b6, 0xfe52, 0x68}, // hcircumflex: dead_circumflex + h
  {0x2bb, 0xfe55, 0x67}, // gbreve: dead_breve + g
  {0x2bc, 0xfe52, 0x6a}, // jcircumflex: dead_circumflex + j
  {0x2c5, 0xfe56, 0x43}, // Cabovedot: dead_abovedot + C
  {0x2c6, 0xfe52, 0x43}, // Ccircumflex: dead_circumflex + C
  {0x2d5, 0xfe56, 0x47}, // Gabovedot: dead_abovedot + G
  {0x2d8, 0xfe52, 0x47}, // Gcircumflex: dead_circumflex + G
  {0x2dd, 0xfe55, 0x55}, // Ubreve: dead_breve + U
  {0x2de, 0xfe52, 0x53}, // Scircumflex: dead_circumflex + S
  {0x2e5, 0xfe56, 0x63}, // cabovedot: dead_abovedot + c
  {0x2e6, 0xfe52, 0x63}, // ccircumflex: dead_circumflex + c
  {0x2f5, 0xfe56, 0x67}, // gabovedot: dead_abovedot + g
  {0x2f8, 0xfe52, 0x67}, // gcircumflex: dead_circumflex + g
  {0x2fd, 0xfe55, 0x75}, // ubreve: dead_breve + u
  {0x2fe, 0xfe52, 0x73}, // scircumflex: dead_circumflex + s
};

// Latin-4 (kra and eng have no accent and are left out).
const std::vector<DeadKeyUtil::Composition> latin4 = {
  {0x3a3, 0xfe5b, 0x52}, // Rcedilla: dead_cedilla + R
  {0x3a5, 0xfe53, 0x49}, // Itilde: dead_tilde + I
  {0x3a6, 0xfe5b, 0x4c}, // Lcedilla: dead_cedilla + L
  {0x3aa, 0xfe54, 0x45}, // Emacron: dead_macron + E
  {0x3ab, 0xfe5b, 0x47}, // Gcedilla: dead_cedilla + G
  {0x3ac, 0xfe63, 0x54}, // Tslash: dead_stroke + T
  {0x3b3, 0xfe5b, 0x72}, // rcedilla: dead_cedilla + r
  {0x3b5, 0xfe53, 0x69}, // itilde: dead_tilde + i
  {0x3b6, 0xfe5b, 0x6c}, // lcedilla: dead_cedilla + l
  {0x3ba, 0xfe54, 0x65}, // emacron: dead_macron + e
  {0x3bb, 0xfe5b, 0x67}, // gcedilla: dead_cedilla + g
  {0x3bc, 0xfe63, 0x74}, // tslash: dead_stroke + t
  {0x3c0, 0xfe54, 0x41}, // Amacron: dead_macron + A
  {0x3c7, 0xfe5c, 0x49}, // Iogonek: dead_ogonek + I
  {0x3cc, 0xfe56, 0x45}, // Eabovedot: dead_abovedot + E
  {0x3cf, 0xfe54, 0x49}, // Imacron: dead_macron + I
  {0x3d1, 0xfe5b, 0x4e}, // Ncedilla: dead_cedilla + N
  {0x3d2, 0xfe54, 0x4f}, // Omacron: dead_macron + O
  {0x3d3, 0xfe5b, 0x4b}, // Kcedilla: dead_cedilla + K
  {0x3d9, 0xfe5c, 0x55}, // Uogonek: dead_ogonek + U
  {0x3dd, 0xfe53, 0x55}, // Utilde: dead_tilde + U
  {0x3de, 0xfe54, 0x55}, // Umacron: dead_macron + U
  {0x3e0, 0xfe54, 0x61}, // amacron: dead_macron + a
  {0x3e7, 0xfe5c, 0x69}, // iogonek: dead_ogonek + i
  {0x3ec, 0xfe56, 0x65}, // eabovedot: dead_abovedot + e
  {0x3ef, 0xfe54, 0x69}, // imacron: dead_macron + i
  {0x3f1, 0xfe5b, 0x6e}, // ncedilla: dead_cedilla + n
  {0x3f2, 0xfe54, 0x6f}, // omacron: dead_macron + o
  {0x3f3, 0xfe5b, 0x6b}, // kcedilla: dead_cedilla + k
  {0x3f9, 0xfe5c, 0x75}, // uogonek: dead_ogonek + u
  {0x3fd, 0xfe53, 0x75}, // utilde: dead_tilde + u
  {0x3fe, 0xfe54, 0x75}, // umacron: dead_macron + u
};

// Latin letters that only have Unicode keysyms (0x1000000 + code point):
// the Welsh and Gaelic letters of Latin-8.
const std::vector<DeadKeyUtil::Composition> unicodeLatin = {
  {0x1000174, 0xfe52, 0x57}, // Wcircumflex: dead_circumflex + W
  {0x1000175, 0xfe52, 0x77}, // wcircumflex: dead_circumflex + w
  {0x1000176, 0xfe52, 0x59}, // Ycircumflex: dead_circumflex + Y
  {0x1000177, 0xfe52, 0x79}, // ycircumflex: dead_circumflex + y
  {0x1001e02, 0xfe56, 0x42}, // Babovedot: dead_abovedot + B
  {0x1001e03, 0xfe56, 0x62}, // babovedot: dead_abovedot + b
  {0x1001e0a, 0xfe56, 0x44}, // Dabovedot: dead_abovedot + D
  {0x1001e0b, 0xfe56, 0x64}, // dabovedot: dead_abovedot + d
  {0x1001e1e, 0xfe56, 0x46}, // Fabovedot: dead_abovedot + F
  {0x1001e1f, 0xfe56, 0x66}, // fabovedot: dead_abovedot + f
  {0x1001e40, 0xfe56, 0x4d}, // Mabovedot: dead_abovedot + M
  {0x1001e41, 0xfe56, 0x6d}, // mabovedot: dead_abovedot + m
  {0x1001e56, 0xfe56, 0x50}, // Pabovedot: dead_abovedot + P
  {0x1001e57, 0xfe56, 0x70}, // pabovedot: dead_abovedot + p
  {0x1001e60, 0xfe56, 0x53}, // Sabovedot: dead_abovedot + S
  {0x1001e61, 0xfe56, 0x73}, // sabovedot: dead_abovedot + s
  {0x1001e6a, 0xfe56, 0x54}, // Tabovedot: dead_abovedot + T
  {0x1001e6b, 0xfe56, 0x74}, // tabovedot: dead_abovedot + t
  {0x1001e80, 0xfe50, 0x57}, // Wgrave: dead_grave + W
  {0x1001e81, 0xfe50, 0x77}, // wgrave: dead_grave + w
  {0x1001e82, 0xfe51, 0x57}, // Wacute: dead_acute + W
  {0x1001e83, 0xfe51, 0x77}, // wacute: dead_acute + w
  {0x1001e84, 0xfe57, 0x57}, // Wdiaeresis: dead_diaeresis + W
  {0x1001e85, 0xfe57, 0x77}, // wdiaeresis: dead_diaeresis + w
  {0x1001ef2, 0xfe50, 0x59}, // Ygrave: dead_grave + Y
  {0x1001ef3, 0xfe50, 0x79}, // ygrave: dead_grave + y
};

// Latin-9.
const std::vector<DeadKeyUtil::Composition> latin9 = {
  {0x13be, 0xfe57, 0x59}, // Ydiaeresis: dead_diaeresis + Y
};

// Greek letters with tonos (typed with dead_acute) and dialytika, and the
// dialytika tonos, whose dead keysym is the Unicode keysym of U+0344.
const std::vector<DeadKeyUtil::Composition> greek = {
  {0x7a1, 0xfe51, 0x7c1}, // Greek_ALPHAaccent: dead_acute + Greek_ALPHA
  {0x7a2, 0xfe51, 0x7c5}, // Greek_EPSILONaccent: dead_acute + Greek_EPSILON
  {0x7a3, 0xfe51, 0x7c7}, // Greek_ETAaccent: dead_acute + Greek_ETA
  {0x7a4, 0xfe51, 0x7c9}, // Greek_IOTAaccent: dead_acute + Greek_IOTA
  {0x7a5, 0xfe57, 0x7c9}, // Greek_IOTAdieresis: dead_diaeresis + Greek_IOTA
  {0x7a7, 0xfe51, 0x7cf}, // Greek_OMICRONaccent: dead_acute + Greek_OMICRON
  {0x7a8, 0xfe51, 0x7d5}, // Greek_UPSILONaccent: dead_acute + Greek_UPSILON
  {0x7a9, 0xfe57, 0x7d5}, // Greek_UPSILONdieresis: dead_diaeresis + Greek_UPSILON
  {0x7ab, 0xfe51, 0x7d9}, // Greek_OMEGAaccent: dead_acute + Greek_OMEGA
  {0x7ae, 0x1000344, 0x20}, // Greek_accentdieresis: dialytika tonos + space
  {0x7b1, 0xfe51, 0x7e1}, // Greek_alphaaccent: dead_acute + Greek_alpha
  {0x7b2, 0xfe51, 0x7e5}, // Greek_epsilonaccent: dead_acute + Greek_epsilon
  {0x7b3, 0xfe51, 0x7e7}, // Greek_etaaccent: dead_acute + Greek_eta
  {0x7b4, 0xfe51, 0x7e9}, // Greek_iotaaccent: dead_acute + Greek_iota
  {0x7b5, 0xfe57, 0x7e9}, // Greek_iotadieresis: dead_diaeresis + Greek_iota
  {0x7b6, 0x1000344, 0x7e9}, // Greek_iotaaccentdieresis: dialytika tonos + Greek_iota
  {0x7b7, 0xfe51, 0x7ef}, // Greek_omicronaccent: dead_acute + Greek_omicron
  {0x7b8, 0xfe51, 0x7f5}, // Greek_upsilonaccent: dead_acute + Greek_upsilon
  {0x7b9, 0xfe57, 0x7f5}, // Greek_upsilondieresis: dead_diaeresis + Greek_upsilon
  {0x7ba, 0x1000344, 0x7f5}, // Greek_upsilonaccentdieresis: dialytika tonos + Greek_upsilon
  {0x7bb, 0xfe51, 0x7f9}, // Greek_omegaaccent: dead_acute + Greek_omega
};

const std::vector<std::vector<DeadKeyUtil::Composition>> builtInGroups = {
  latin1, latin2, latin3, latin4, unicodeLatin, latin9, greek,
};

std::string trimmed(const char* text) {
  const char* begin = text;
  while (*begin && std::isspace(static_cast<unsigned char>(*begin)))
    ++begin;
  const char* end = begin + std::strlen(begin);
  while (end > begin && std::isspace(static_cast<unsigned char>(end[-1])))
    --end;
  return std::string(begin, end);
}

// The idx-th child element of `node` (comments and text are skipped).
pugi::xml_node childElement(const pugi::xml_node& node, int idx) {
  int seen = 0;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element)
      continue;
    if (seen++ == idx)
      return child;
  }
  return {};
}

pugi::xml_node namedChild(const pugi::xml_node& node, const std::string& name) {
  pugi::xml_node child = node.child(name.c_str());
  if (!child)
    throw plat::Exception(plat::format("No element named %s", name.c_str()));
  return child;
}

// The keysyms held by the first `count` child elements of each child of
// `list`. Throws for an entry that is short of elements or a bad number.
std::vector<std::vector<uint32_t>> readEntries(const pugi::xml_node& list, int count) {
  std::vector<std::vector<uint32_t>> entries;
  for (int i = 0;; ++i) {
    pugi::xml_node entry = childElement(list, i);
    if (!entry)
      return entries;
    std::vector<uint32_t> keysyms;
    for (int j = 0; j < count; ++j) {
      pugi::xml_node item = childElement(entry, j);
      if (!item)
        throw plat::Exception(plat::format("Entry %d of %s has fewer than %d elements", i,
                                           list.name(), count));
      keysyms.push_back(DeadKeyUtil::parseKeysym(item.text().get()));
    }
    entries.push_back(std::move(keysyms));
  }
}

pugi::xml_node loadRoot(pugi::xml_document& doc, const std::string& path) {
  pugi::xml_parse_result result = doc.load_file(path.c_str());
  if (result.status == pugi::status_file_not_found || result.status == pugi::status_io_error)
    throw plat::Exception(plat::format("%s: %s", path.c_str(), result.description()));
  if (!result)
    throw plat::Exception(plat::format("%s: %s at offset %lld", path.c_str(),
                                       result.description(),
                                       static_cast<long long>(result.offset)));
  return doc.document_element();
}

} // namespace

DeadKeyUtil::DeadKeyUtil() : DeadKeyUtil(deadKeyFile.getValue()) {}

DeadKeyUtil::DeadKeyUtil(const std::string& file, const char* layout)
  : spacingToDead_(builtInSpacing) {
  for (const std::vector<Composition>& group : builtInGroups)
    addCompositions(group);
  if (!file.empty())
    readFile(file, layout);
}

const std::vector<std::vector<DeadKeyUtil::Composition>>& DeadKeyUtil::builtInCompositions() {
  return builtInGroups;
}

bool DeadKeyUtil::isDeadKeysym(uint32_t keysym) {
  return (keysym >= 0xfe50 && keysym <= 0xfe63) || keysym == 0x1000344;
}

uint32_t DeadKeyUtil::deadForSpacing(uint32_t spacing) const {
  for (const auto& [fromSpacing, dead] : spacingToDead_) {
    if (fromSpacing == spacing)
      return dead;
  }
  return 0;
}

uint32_t DeadKeyUtil::spacingForDead(uint32_t dead) const {
  for (const auto& [spacing, toDead] : spacingToDead_) {
    if (toDead == dead)
      return spacing;
  }
  return 0;
}

std::optional<std::pair<uint32_t, uint32_t>> DeadKeyUtil::decompose(uint32_t combined) const {
  auto it = decompositions_.find(combined);
  if (it == decompositions_.end())
    return std::nullopt;
  return it->second;
}

void DeadKeyUtil::addCompositions(const std::vector<Composition>& compositions) {
  for (const Composition& c : compositions)
    decompositions_.insert_or_assign(c.combined, std::make_pair(c.dead, c.base));
}

uint32_t DeadKeyUtil::parseKeysym(const char* text) {
  const std::string number = trimmed(text ? text : "");
  size_t pos = 0;
  if (number.size() > 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X'))
    pos = 2;
  if (pos == number.size())
    throw plat::Exception(plat::format("Invalid keysym '%s'", number.c_str()));
  uint64_t value = 0;
  for (; pos < number.size(); ++pos) {
    const unsigned char digit = number[pos];
    if (!std::isxdigit(digit))
      throw plat::Exception(plat::format("Invalid keysym '%s'", number.c_str()));
    value = value * 16 + (std::isdigit(digit) ? digit - '0' : std::tolower(digit) - 'a' + 10);
    if (value > 0xffffffff)
      throw plat::Exception(plat::format("Keysym out of range '%s'", number.c_str()));
  }
  return static_cast<uint32_t>(value);
}

void DeadKeyUtil::readFile(const std::string& path, const char* layout) {
  vlog.status("Reading dead key info from %s", path.c_str());
  try {
    pugi::xml_document doc;
    const pugi::xml_node root = loadRoot(doc, path);

    pugi::xml_node deadKeys;
    if (layout)
      deadKeys = root.child(plat::format("deadKeys-%s", layout).c_str());
    if (!deadKeys)
      deadKeys = namedChild(root, "deadKeys");
    std::vector<std::pair<uint32_t, uint32_t>> spacing;
    for (const std::vector<uint32_t>& entry : readEntries(deadKeys, 2))
      spacing.emplace_back(entry[0], entry[1]);
    vlog.info("Got %d dead keys", static_cast<int>(spacing.size()));
    for (const auto& [from, dead] : spacing)
      vlog.debug("spacing 0x%x dead 0x%x", from, dead);
    spacingToDead_ = std::move(spacing);

    std::vector<Composition> comps;
    for (const std::vector<uint32_t>& entry : readEntries(namedChild(root, "comps"), 3))
      comps.push_back({entry[0], entry[1], entry[2]});
    vlog.info("Got %d comps", static_cast<int>(comps.size()));
    for (const Composition& c : comps)
      vlog.debug("comb 0x%x dead 0x%x base 0x%x", c.combined, c.dead, c.base);
    addCompositions(comps);
  } catch (const plat::Exception& e) {
    vlog.status("Error reading dead key file: %s", e.str());
  }
}

} // namespace rfb

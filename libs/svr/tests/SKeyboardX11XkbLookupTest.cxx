// The XKB keycode-to-keysym lookup over hand-built maps: groups brought into
// range by each key's own rule, and levels beyond a key type's.

#include <gtest/gtest.h>

#include "libs/svr/SKeyboardX11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <vector>

namespace {

// One key (keycode 10) of `width` levels per group, `groups` groups, each
// group of key type `types[g]`, with keysyms group * 0x100 + level + 1 so
// that the answer tells which column was read.
class OneKeyMap {
public:
  OneKeyMap(unsigned char groupInfo, int width, const std::vector<unsigned char>& kinds) {
    types_[0].num_levels = 1; // ONE_LEVEL
    types_[1].num_levels = 2; // TWO_LEVEL
    types_[2].num_levels = 4; // FOUR_LEVEL
    const int groups = XkbNumGroups(groupInfo);
    for (int g = 0; g < groups; ++g) {
      for (int l = 0; l < width; ++l)
        syms_.push_back(KeySym(g * 0x100 + l + 1));
    }
    keys_[keycode].group_info = groupInfo;
    keys_[keycode].width = (unsigned char)width;
    keys_[keycode].offset = 0;
    for (size_t g = 0; g < kinds.size() && g < XkbNumKbdGroups; ++g)
      keys_[keycode].kt_index[g] = kinds[g];
    map_.types = types_;
    map_.num_types = 3;
    map_.size_types = 3;
    map_.key_sym_map = keys_;
    map_.syms = syms_.data();
    map_.num_syms = (unsigned short)syms_.size();
    desc_.map = &map_;
    desc_.min_key_code = 8;
    desc_.max_key_code = 20;
  }

  XkbDescPtr desc() { return &desc_; }

  static constexpr int keycode = 10;

private:
  XkbKeyTypeRec types_[3] = {};
  XkbSymMapRec keys_[21] = {};
  std::vector<KeySym> syms_;
  XkbClientMapRec map_ = {};
  XkbDescRec desc_ = {};
};

uint32_t sym(int group, int level) {
  return uint32_t(group * 0x100 + level + 1);
}

struct Case {
  const char* name;
  unsigned char groupInfo;
  int width;
  std::vector<unsigned char> kinds;
  unsigned int group;
  int level;
  uint32_t expected;
};

TEST(SKeyboardX11XkbLookup, GroupsAndLevels) {
  const unsigned char twoGroups = XkbSetNumGroups(0, 2);
  const unsigned char clamp = XkbSetGroupInfo(2, XkbClampIntoRange, 0);
  const unsigned char redirect1 = XkbSetGroupInfo(2, XkbRedirectIntoRange, 1);
  const unsigned char redirectOut = XkbSetGroupInfo(2, XkbRedirectIntoRange, 3);
  const Case cases[] = {
    {"plain level 1", twoGroups, 2, {1, 1}, 0, 1, sym(0, 1)},
    {"second group", twoGroups, 2, {1, 1}, 1, 1, sym(1, 1)},
    {"wrap: group 3 of 2 is group 1", twoGroups, 2, {1, 1}, 3, 0, sym(1, 0)},
    {"clamp: group 3 is the last", clamp, 2, {1, 1}, 3, 0, sym(1, 0)},
    {"redirect to group 1", redirect1, 2, {1, 1}, 2, 0, sym(1, 0)},
    {"redirect out of range gives group 0", redirectOut, 2, {1, 1}, 3, 1, sym(0, 1)},
    {"in range ignores the rule", redirect1, 2, {1, 1}, 0, 0, sym(0, 0)},
    {"one-level key at level 1 answers level 0", XkbSetNumGroups(0, 1), 1, {0}, 0, 1, sym(0, 0)},
    {"one-level key at level 2 has nothing", XkbSetNumGroups(0, 1), 1, {0}, 0, 2, NoSymbol},
    {"two-level key at level 2 has nothing", twoGroups, 2, {1, 1}, 0, 2, NoSymbol},
    {"four-level key at level 3", XkbSetNumGroups(0, 1), 4, {2}, 0, 3, sym(0, 3)},
    {"type per group: one level in group 1", twoGroups, 2, {1, 0}, 1, 1, sym(1, 0)},
    {"no groups", XkbSetNumGroups(0, 0), 2, {1}, 0, 0, NoSymbol},
    {"negative level", twoGroups, 2, {1, 1}, 0, -1, NoSymbol},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneKeyMap map(c.groupInfo, c.width, c.kinds);
    EXPECT_EQ(svr::SKeyboardX11::xkbKeysym(map.desc(), OneKeyMap::keycode, c.group, c.level),
              c.expected);
  }
}

} // namespace

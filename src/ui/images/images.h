// The wizard's compiled-in pictures: serialised GdkPixdata streams, turned
// from the PNG files beside this header into byte arrays at build time.
#ifndef LUMORA_UI_IMAGES_IMAGES_H
#define LUMORA_UI_IMAGES_IMAGES_H

#include <glib.h>

namespace lm_images {

extern const guint8 lumora[];  // 48 x 48 RGBA, window icon
extern const guint8 Left[];    // 143 x 344 RGB, Welcome and Finish side column
extern const guint8 welcome[]; // 316 x 48 RGB, Welcome heading
extern const guint8 top[];     // 606 x 92 RGB, banner of the middle pages
extern const guint8 power[];   // 189 x 76 RGB, the reader's power key
extern const guint8 menu[];    // 189 x 76 RGB, the reader's menu key
extern const guint8 link_1[];  // 402 x 128 RGB, reader attached
extern const guint8 Link_2[];  // 402 x 128 RGB, reader not attached
extern const guint8 finish[];  // 225 x 24 RGB, Finish heading

// The same pictures drawn at twice the size, for screens scaled by 2; only
// a GTK 3 build has them (GTK 2 does not scale).
extern const guint8 lumora_2x[];
extern const guint8 Left_2x[];
extern const guint8 welcome_2x[];
extern const guint8 top_2x[];
extern const guint8 power_2x[];
extern const guint8 menu_2x[];
extern const guint8 link_1_2x[];
extern const guint8 Link_2_2x[];
extern const guint8 finish_2x[];

} // namespace lm_images

#endif

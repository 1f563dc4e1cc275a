// The WOFF2 'hmtx' transform undone (W3C WOFF2, section 5.4) as google/woff2's
// reference decoder (woff2_dec.cc, ReconstructTransformedHmtx) does it.
#pragma once

#include <cstdint>

#include "../sfnt/bytes.h"
#include "../sfnt/font_error.h"

namespace glyphward::woff2 {

// Rebuilds 'hmtx' from its transformed form. `num_glyphs` is the glyph count
// of the transformed 'glyf' table, `num_hmetrics` hhea.numberOfHMetrics.
// Left side bearings the transform left out are the glyphs' xMin, read from
// `glyf` through `loca` (short or long offsets, told apart by its length,
// which must be 2 or 4 times num_glyphs + 1): a glyph with no outline data
// or with numberOfContours 0 has 0, like the reference's x_mins.
Result<Bytes> reconstruct_hmtx(ByteView transformed, uint32_t num_glyphs, uint32_t num_hmetrics, ByteView glyf,
                               ByteView loca);

}  // namespace glyphward::woff2

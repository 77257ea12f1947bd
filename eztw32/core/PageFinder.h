// Finds the document or photo lying on the bed in a preview: the part that
// differs from the empty bed, whose colour is read from the preview's
// corners (where most of them agree; a tie goes to the darker, as a page
// is mostly lighter than the lid).
#pragma once

#include "Picture.h"

#include <optional>

namespace eztw32 {

// A rectangle on the preview, in millimetres from its top left corner.
struct AreaMm {
    double left = 0, top = 0, right = 0, bottom = 0;
};

// The area of the document on a preview that covers widthMm x heightMm;
// nothing when the bed is empty or nothing on it stands out as a page or
// photo (a page as light as the lid shows only its print).
std::optional<AreaMm> findDocument(const PictureView& preview, double widthMm, double heightMm);

} // namespace eztw32

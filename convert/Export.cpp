#include "convert/Export.h"

namespace orvane {

void ConvertAndSave(Form2&, ConvertFormat) {}

} // namespace orvane

#include "app/SkinFramework.h"

namespace orvane {

void SkinFramework::LoadSkin(const QString&, const QString&) {}
void SkinFramework::ApplyWindow(qint32) {}

} // namespace orvane

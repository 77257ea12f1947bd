#pragma once
// "Save As TIFF" and "Save As PNG": the picture goes through a temporary BMP
// file to the converter, which writes the chosen format.
namespace orvane {

class SaveHost;

enum class ConvertFormat { Tiff, Png };

void ConvertAndSave(SaveHost& host, ConvertFormat format);

} // namespace orvane

#pragma once
// "Save As TIFF" and "Save As PNG": the picture goes through a temporary BMP
// file to the converter, which writes the chosen format.
namespace orvane {

class Form2;

enum class ConvertFormat { Tiff, Png };

void ConvertAndSave(Form2& form, ConvertFormat format);

} // namespace orvane

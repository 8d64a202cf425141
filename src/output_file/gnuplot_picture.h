#pragma once

#include <optional>
#include <string>

#include "output_file/output_file.h"

// Pictures drawn by gnuplot (POSIX only), started on pipes without the user's own settings
// (gnuplot -d) and in the C locale, its picture written to an OutputFile as it comes.

enum class PictureFormat { png, svg, pdf };

// OUT's format from its extension, in any case: .png, .svg or .pdf; none for any other.
std::optional<PictureFormat> picture_format(const std::string& out);

// The script line that sets gnuplot's terminal for `format`, the page's size and font, on a
// white background.
const char* picture_terminal(PictureFormat format);

// gnuplot's path on PATH; throws std::runtime_error saying how to install it if none.
std::string find_gnuplot();

// Runs `gnuplot` on `script`, passing its picture to `output` (named `out` in messages) as
// it comes. Throws std::runtime_error "gnuplot could not draw OUT: ..." with gnuplot's last
// words unless it ends well and the picture is whole: a PNG ending with its IEND chunk, an
// SVG with "</svg>", a PDF with "%%EOF". The caller commits `output`.
void draw_picture(const std::string& gnuplot, const std::string& script, PictureFormat format,
                  OutputFile& output, const std::string& out);

// A gnuplot string constant holding `text`, whatever it holds.
std::string gnuplot_string(const std::string& text);

// A number as printf's "%.*f" prints it in the C locale.
std::string fixed(double value, int decimals);

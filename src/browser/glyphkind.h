// The kinds of small image drawn before an entry of the browser's lists, below the
// widgets that show them.
#pragma once

class QPixmap;

namespace kestrel {

// The small image drawn before an entry.
enum class TGlyph { None, OpenFolder, CurrentFolder, ClosedFolder, Executable, UnknownFile };

// The glyph image of a kind, 16 x 16, from the program's resources (null for None).
QPixmap GlyphPixmap(TGlyph glyph);

} // namespace kestrel

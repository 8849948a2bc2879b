// The stored entries of a list and their drawing. Entries are read once per change;
// the view asks only for the rows it shows, so large folders stay cheap to scroll.
#pragma once

#include "browser/glyphkind.h"

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <string>
#include <vector>

namespace kestrel {

struct TEntry {
    std::string text;
    TGlyph glyph = TGlyph::None;
    int indent = 2; // pixels from the left edge
    int kind = 0;   // TDirEntryKind for the folder list, unused by the file list
    // UnknownFile until a look at the file's execute bits says Executable.
    bool checkExecutable = false;
};

// Role that carries an entry's indentation in pixels.
inline constexpr int IndentRole = Qt::UserRole + 1;

class TEntryModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    // Replaces all entries at once; folder is where the entries' names are found.
    void Reset(std::vector<TEntry> entries, const std::string& folder = "");
    const std::vector<TEntry>& Entries() const { return entries_; }
    // The glyph of row, settling a pending look at the execute bits.
    TGlyph GlyphOf(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    mutable std::vector<TEntry> entries_;
    std::string folder_;
};

// Draws an entry shifted right by its indentation, glyph first.
class TEntryDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

} // namespace kestrel

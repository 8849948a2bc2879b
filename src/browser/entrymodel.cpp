#include "browser/entrymodel.h"

#include "browser/paths.h"

#include <QPixmap>
#include <sys/stat.h>

namespace kestrel {

namespace {
constexpr int GlyphSize = 16;
constexpr int ItemHeight = 16;
} // namespace

QPixmap GlyphPixmap(TGlyph glyph) {
    const char* path = nullptr;
    switch (glyph) {
    case TGlyph::None:
        return QPixmap();
    case TGlyph::OpenFolder:
        path = ":/glyphs/OPENFOLDER.png";
        break;
    case TGlyph::CurrentFolder:
        path = ":/glyphs/CURRENTFOLDER.png";
        break;
    case TGlyph::ClosedFolder:
        path = ":/glyphs/CLOSEDFOLDER.png";
        break;
    case TGlyph::Executable:
        path = ":/glyphs/EXECUTABLE.png";
        break;
    case TGlyph::UnknownFile:
        path = ":/glyphs/UNKNOWNFILE.png";
        break;
    }
    // Loaded once per kind; QPixmap shares its data, so copies are cheap.
    static QPixmap cache[6];
    QPixmap& slot = cache[static_cast<int>(glyph)];
    if (slot.isNull())
        slot.load(QString::fromLatin1(path));
    return slot;
}

void TEntryModel::Reset(std::vector<TEntry> entries, const std::string& folder) {
    beginResetModel();
    entries_ = std::move(entries);
    folder_ = folder;
    endResetModel();
}

TGlyph TEntryModel::GlyphOf(int row) const {
    TEntry& entry = entries_[static_cast<size_t>(row)];
    if (entry.checkExecutable) {
        entry.checkExecutable = false;
        struct stat st {};
        const std::string path = JoinPath(folder_, entry.text);
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0)
            entry.glyph = TGlyph::Executable;
    }
    return entry.glyph;
}

int TEntryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

QVariant TEntryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(entries_.size()))
        return QVariant();
    const TEntry& entry = entries_[static_cast<size_t>(index.row())];
    TGlyph glyph = TGlyph::None;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return QString::fromStdString(entry.text);
    case Qt::DecorationRole:
        glyph = GlyphOf(index.row());
        if (glyph == TGlyph::None)
            return QVariant();
        return GlyphPixmap(glyph);
    case IndentRole:
        return entry.indent;
    default:
        return QVariant();
    }
}

Qt::ItemFlags TEntryModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled |
           Qt::ItemNeverHasChildren;
}

void TEntryDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    QStyleOptionViewItem shifted(option);
    shifted.rect.setLeft(option.rect.left() + index.data(IndentRole).toInt());
    shifted.decorationSize = QSize(GlyphSize, GlyphSize);
    QStyledItemDelegate::paint(painter, shifted, index);
}

QSize TEntryDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt(option);
    opt.decorationSize = QSize(GlyphSize, GlyphSize);
    QSize size = QStyledItemDelegate::sizeHint(opt, index);
    size.setWidth(size.width() + index.data(IndentRole).toInt());
    size.setHeight(std::max(size.height(), ItemHeight));
    return size;
}

} // namespace kestrel

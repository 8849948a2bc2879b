#include "browser/filectrl.h"

#include "base/exception.h"
#include "browser/entrymodel.h"
#include "browser/folders.h"

#include <QDrag>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QMimeData>
#include <algorithm>
#include <cerrno>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

using namespace folders;

TFileType::TFileType(std::initializer_list<TFileAttr> attrs) {
    for (TFileAttr attr : attrs)
        Include(attr);
}

namespace {

// Entries from this count on show the busy cursor while a folder is read.
constexpr size_t BusyCursorEntries = 100;

// Shows the busy cursor from the moment Start is called until the scope ends, also when
// the scope ends by an exception.
class BusyCursor {
public:
    BusyCursor() = default;
    ~BusyCursor() {
        if (shown_)
            QGuiApplication::restoreOverrideCursor();
    }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
    void Start() {
        if (!shown_ && qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            shown_ = true;
        }
    }

private:
    bool shown_ = false;
};

} // namespace

// ---------------------------------------------------------------------------------------
// Drag and drop

std::string DragSourceClassName(const QObject* source) {
    if (source == nullptr)
        return "";
    if (qobject_cast<const TFileListBox*>(source) != nullptr)
        return TFileListBox::ClassName;
    if (qobject_cast<const TDirectoryListBox*>(source) != nullptr)
        return "TDirectoryListBox";
    std::string name = source->metaObject()->className();
    const size_t colon = name.rfind("::");
    return colon == std::string::npos ? name : name.substr(colon + 2);
}

std::vector<std::string> DraggedFileNames(const QDropEvent* event) {
    std::vector<std::string> names;
    const QMimeData* data = event != nullptr ? event->mimeData() : nullptr;
    if (data == nullptr || !data->hasFormat(FileListMimeType))
        return names;
    const QByteArray bytes = data->data(FileListMimeType);
    for (const QByteArray& line : bytes.split('\n'))
        if (!line.isEmpty())
            names.push_back(line.toStdString());
    return names;
}

// ---------------------------------------------------------------------------------------
// The folder list

TDirectoryListBox::FileListLink& TDirectoryListBox::FileListLink::operator=(TFileListBox* list) {
    if (list == list_)
        return *this;
    if (list_ != nullptr)
        list_->dirList_ = nullptr;
    if (list != nullptr && list->dirList_ != nullptr)
        list->dirList_->FileList.list_ = nullptr;
    list_ = list;
    if (list != nullptr)
        list->dirList_ = owner_;
    return *this;
}

TDirectoryListBox::TDirectoryListBox(QWidget* parent)
    : QListView(parent), model_(new TEntryModel(this)) {
    setModel(model_);
    setItemDelegate(new TEntryDelegate(this));
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    folderPath_ = CurrentDir();
    build(true);
}

TDirectoryListBox::~TDirectoryListBox() {
    FileList = nullptr;
}

void TDirectoryListBox::build(bool select_current) {
    const std::string& path = folderPath_;
    std::vector<TEntry> entries;
    // Root, ancestors and the current folder: one entry per level of the path.
    entries.push_back({"/", TGlyph::OpenFolder, 2, static_cast<int>(TDirEntryKind::Root)});
    size_t start = 1;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const int index = static_cast<int>(entries.size());
        entries.push_back({path.substr(start, end - start), TGlyph::OpenFolder, 4 * index + 2,
                           static_cast<int>(TDirEntryKind::Ancestor)});
        start = end + 1;
    }
    entries.back().glyph = TGlyph::CurrentFolder;
    entries.back().kind = static_cast<int>(TDirEntryKind::Current);
    const int current = static_cast<int>(entries.size()) - 1;

    // Subfolders: visible folders (and links to folders), sorted ignoring case.
    FolderReader reader(path);
    std::vector<std::string> names;
    for (FolderItem& item : reader.items) {
        if (item.name == "." || item.name == ".." || item.name[0] == '.')
            continue;
        if (item.type != DT_DIR && item.type != DT_LNK && item.type != DT_UNKNOWN)
            continue;
        LookUp(reader.Fd(), item, false);
        if (item.directory && !item.system)
            names.push_back(std::move(item.name));
    }
    std::sort(names.begin(), names.end(), NameLess);
    const int subIndent = 4 * PathDepth(path) + 6;
    for (std::string& name : names)
        entries.push_back({std::move(name), TGlyph::ClosedFolder, subIndent,
                           static_cast<int>(TDirEntryKind::Subfolder)});

    model_->Reset(std::move(entries));
    if (select_current)
        SetItemIndex(current);
}

void TDirectoryListBox::SetFolderPath(const std::string& path) {
    if (path.empty() || path == folderPath_)
        return;
    const std::string target = ResolveFolder(path);
    CurrentDirGuard guard;
    if (::chdir(target.c_str()) != 0)
        RaiseInOutError(errno);
    const std::string oldPath = folderPath_;
    folderPath_ = CurrentDir();
    try {
        build(true);
    } catch (...) {
        folderPath_ = oldPath;
        throw;
    }
    guard.Keep();
    changeStep();
}

std::string TDirectoryListBox::ItemFolderPath(int index) const {
    if (index < 0 || index >= Count())
        return "";
    const TEntry& entry = model_->Entries()[static_cast<size_t>(index)];
    switch (static_cast<TDirEntryKind>(entry.kind)) {
    case TDirEntryKind::Root:
        return "/";
    case TDirEntryKind::Current:
        return folderPath_;
    case TDirEntryKind::Subfolder:
        return JoinPath(folderPath_, entry.text);
    case TDirEntryKind::Ancestor:
        break;
    }
    // An ancestor at index k: the path cut just before its (k + 1)-th "/".
    size_t cut = 0;
    for (int seen = 0; seen <= index; ++seen)
        cut = folderPath_.find('/', seen == 0 ? 0 : cut + 1);
    return folderPath_.substr(0, cut);
}

void TDirectoryListBox::OpenSelected() {
    SetFolderPath(ItemFolderPath(ItemIndex()));
}

void TDirectoryListBox::Rebuild() {
    build(true);
    changeStep();
}

void TDirectoryListBox::changeStep() {
    if (FileList != nullptr)
        FileList->SetFolderPath(folderPath_);
    updateLabel();
    if (OnChange)
        OnChange(this);
}

void TDirectoryListBox::updateLabel() {
    if (DirLabel == nullptr)
        return;
    const QFontMetrics metrics(DirLabel->font());
    const int width = DirLabel->width();
    std::string shown = folderPath_;
    // Leading folders give way to ".../" until the rest fits.
    size_t cut = 1;
    while (metrics.horizontalAdvance(QString::fromStdString(shown)) > width) {
        cut = folderPath_.find('/', cut);
        if (cut == std::string::npos)
            break;
        shown = ".../" + folderPath_.substr(cut + 1);
        ++cut;
    }
    DirLabel->setText(QString::fromStdString(shown));
}

int TDirectoryListBox::Count() const {
    return model_->rowCount();
}

std::string TDirectoryListBox::Item(int index) const {
    if (index < 0 || index >= Count())
        return "";
    return model_->Entries()[static_cast<size_t>(index)].text;
}

TDirEntryKind TDirectoryListBox::Kind(int index) const {
    if (index < 0 || index >= Count())
        throw ERangeError();
    return static_cast<TDirEntryKind>(model_->Entries()[static_cast<size_t>(index)].kind);
}

int TDirectoryListBox::Indent(int index) const {
    if (index < 0 || index >= Count())
        throw ERangeError();
    return model_->Entries()[static_cast<size_t>(index)].indent;
}

int TDirectoryListBox::ItemIndex() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TDirectoryListBox::SetItemIndex(int index) {
    if (index < 0 || index >= Count()) {
        selectionModel()->clear();
        return;
    }
    setCurrentIndex(model_->index(index));
}

void TDirectoryListBox::DblClick() {
    if (OnDblClick)
        OnDblClick(this);
    OpenSelected();
}

void TDirectoryListBox::runUserAction(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        if (!OnError)
            throw;
        OnError(error);
    }
}

void TDirectoryListBox::mouseDoubleClickEvent(QMouseEvent* event) {
    QListView::mouseDoubleClickEvent(event);
    runUserAction([this] { DblClick(); });
}

void TDirectoryListBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        runUserAction([this] { OpenSelected(); });
        return;
    }
    QListView::keyPressEvent(event);
}

// ---------------------------------------------------------------------------------------
// The file list

TFileListBox::TFileListBox(QWidget* parent) : QListView(parent), model_(new TEntryModel(this)) {
    setModel(model_);
    setItemDelegate(new TEntryDelegate(this));
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setDefaultDropAction(Qt::CopyAction);
    // A click changes the selection and the focus in two signals; both are handled
    // together once the click is done, so OnClick sees the final item index.
    auto userChange = [this] {
        if (programmatic_ > 0 || clickPending_)
            return;
        clickPending_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                clickPending_ = false;
                userSelectionChanged();
            },
            Qt::QueuedConnection);
    };
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, userChange);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this, userChange);
    folderPath_ = CurrentDir();
    CurrentDirGuard guard;
    read(folderPath_);
    guard.Keep();
}

TFileListBox::~TFileListBox() {
    if (dirList_ != nullptr)
        dirList_->FileList = nullptr;
}

void TFileListBox::SetFolderPath(const std::string& path) {
    // The volume is case-sensitive, so paths that differ only in case are other folders.
    if (path == folderPath_)
        return;
    CurrentDirGuard guard;
    // A relative path is taken relative to the folder shown so far.
    if (IsFolder(folderPath_))
        (void)::chdir(folderPath_.c_str());
    if (::chdir(path.c_str()) != 0)
        RaiseInOutError(errno);
    read(CurrentDir());
    guard.Keep();
}

void TFileListBox::SetMask(const std::string& mask) {
    if (mask == mask_)
        return;
    mask_ = mask;
    Reread();
}

void TFileListBox::SetFileType(const TFileType& type) {
    if (type == fileType_)
        return;
    fileType_ = type;
    Reread();
}

void TFileListBox::SetShowGlyphs(bool show) {
    showGlyphs_ = show;
}

void TFileListBox::SetMultiSelect(bool multi) {
    multiSelect_ = multi;
    ++programmatic_;
    setSelectionMode(multi ? QAbstractItemView::ExtendedSelection
                           : QAbstractItemView::SingleSelection);
    --programmatic_;
}

void TFileListBox::Reread() {
    CurrentDirGuard guard;
    read(folderPath_);
    guard.Keep();
}

void TFileListBox::read(const std::string& folder) {
    if (::chdir(folder.c_str()) != 0)
        RaiseInOutError(errno);
    std::vector<TEntry> entries;
    {
        BusyCursor busy;
        FolderReader reader(".");
        const int fd = reader.Fd();

        // What the search returns: plain files always; hidden, system, volume and folder
        // entries only when their kind is searched for.
        const bool searchDirs = fileType_.Contains(ftDirectory);
        const bool searchHidden = fileType_.Contains(ftHidden);
        const bool searchSystem = fileType_.Contains(ftSystem);
        const bool listAll = fileType_.Contains(ftNormal);
        const bool needMode = !listAll && fileType_.Contains(ftReadOnly);

        for (const std::string& pattern : SplitMask(mask_)) {
            if (pattern.empty())
                continue; // an empty pattern matches no name
            for (FolderItem& item : reader.items) {
                if (!MatchesPattern(pattern, item.name))
                    continue;
                LookUp(fd, item, needMode);
                if ((item.hidden && !searchHidden) || (item.system && !searchSystem) ||
                    (item.directory && !searchDirs))
                    continue;
                if (!listAll) {
                    const bool wanted = (item.directory && searchDirs) ||
                                        (item.hidden && searchHidden) ||
                                        (item.system && searchSystem) ||
                                        (item.read_only && fileType_.Contains(ftReadOnly)) ||
                                        (item.archive && fileType_.Contains(ftArchive));
                    if (!wanted)
                        continue;
                }
                TEntry entry;
                entry.indent = 2;
                if (item.directory) {
                    entry.text = "[" + item.name + "]";
                    entry.glyph = showGlyphs_ ? TGlyph::ClosedFolder : TGlyph::None;
                } else {
                    entry.text = item.name;
                    if (showGlyphs_) {
                        if (item.executable || HasExecutableExtension(item.name)) {
                            entry.glyph = TGlyph::Executable;
                        } else {
                            entry.glyph = TGlyph::UnknownFile;
                            // The execute bit is looked at when the entry is first shown.
                            entry.checkExecutable = !item.mode_known;
                        }
                    }
                }
                entries.push_back(std::move(entry));
                if (entries.size() == BusyCursorEntries)
                    busy.Start();
            }
        }
        std::stable_sort(entries.begin(), entries.end(),
                         [](const TEntry& a, const TEntry& b) { return NameLess(a.text, b.text); });
    }
    ++programmatic_;
    folderPath_ = folder;
    model_->Reset(std::move(entries), folder);
    --programmatic_;
    changeStep();
}

std::string TFileListBox::SelectedFileName() const {
    const int index = ItemIndex();
    if (index >= 0 && Selected(index))
        return Item(index);
    return "";
}

std::string TFileListBox::SelectedFilePath() const {
    const std::string name = SelectedFileName();
    return name.empty() ? "" : JoinPath(folderPath_, name);
}

int TFileListBox::Count() const {
    return model_->rowCount();
}

std::string TFileListBox::Item(int index) const {
    if (index < 0 || index >= Count())
        return "";
    return model_->Entries()[static_cast<size_t>(index)].text;
}

TGlyph TFileListBox::Glyph(int index) const {
    if (index < 0 || index >= Count())
        return TGlyph::None;
    return model_->GlyphOf(index);
}

bool TFileListBox::Selected(int index) const {
    if (index < 0 || index >= Count())
        return false;
    return selectionModel()->isSelected(model_->index(index));
}

void TFileListBox::SetSelected(int index, bool selected) {
    if (index < 0 || index >= Count())
        throw ERangeError();
    ++programmatic_;
    QItemSelectionModel::SelectionFlags flags = QItemSelectionModel::Deselect;
    if (selected)
        flags = multiSelect_ ? QItemSelectionModel::Select : QItemSelectionModel::ClearAndSelect;
    selectionModel()->select(model_->index(index), flags);
    --programmatic_;
}

int TFileListBox::ItemIndex() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TFileListBox::SetItemIndex(int index) {
    ++programmatic_;
    if (index < 0 || index >= Count()) {
        selectionModel()->clear();
    } else if (multiSelect_) {
        // With several selections the item index only moves the focus.
        selectionModel()->setCurrentIndex(model_->index(index), QItemSelectionModel::NoUpdate);
    } else {
        selectionModel()->setCurrentIndex(model_->index(index),
                                          QItemSelectionModel::ClearAndSelect);
    }
    --programmatic_;
}

void TFileListBox::changeStep() {
    lastSelection_ = ItemIndex();
    if (FileEdit != nullptr) {
        const std::string name = SelectedFileName();
        FileEdit->setText(QString::fromStdString(name.empty() ? mask_ : name));
    }
    if (OnChange)
        OnChange(this);
}

void TFileListBox::userSelectionChanged() {
    if (OnClick)
        OnClick(this);
    if (ItemIndex() != lastSelection_)
        changeStep();
}

std::unique_ptr<QMimeData> TFileListBox::SelectionMimeData() const {
    QByteArray names;
    for (int i = 0; i < Count(); ++i) {
        if (!Selected(i))
            continue;
        names.append(QByteArray::fromStdString(Item(i)));
        names.append('\n');
    }
    auto data = std::make_unique<QMimeData>();
    data->setData(FileListMimeType, names);
    return data;
}

void TFileListBox::startDrag(Qt::DropActions supportedActions) {
    std::unique_ptr<QMimeData> data = SelectionMimeData();
    if (data->data(FileListMimeType).isEmpty())
        return;
    auto* drag = new QDrag(this); // owned by this list
    drag->setMimeData(data.release());
    drag->exec((supportedActions & Qt::CopyAction) ? Qt::CopyAction : supportedActions);
}

} // namespace kestrel

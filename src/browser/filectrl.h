// Unit FileCtrl: the local file browser. A folder list (TDirectoryListBox) shows the
// levels of the current folder and its subfolders; a file list (TFileListBox) shows the
// entries of that folder that match a mask. Both keep the process's current directory
// equal to the folder they show, so their users can work with bare file names.
//
// Paths are POSIX: the root is "/", the separator "/", and names are case-sensitive.
// Masks match ignoring case, entries sort ignoring case, and a name that begins with "."
// counts as hidden.
#pragma once

#include "browser/glyphkind.h"
#include "browser/paths.h"

#include <QListView>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QDropEvent;
class QLabel;
class QLineEdit;
class QMimeData;

namespace kestrel {

class TFileListBox;
class TEntryModel;

// An event that carries only the control that raised it.
using TListNotifyEvent = std::function<void(QObject* Sender)>;
// Receives an error raised inside a user action (double click, Enter) of a list.
using TListErrorEvent = std::function<void(const std::exception& error)>;

// Kinds of entry that a file list searches for.
enum TFileAttr { ftReadOnly, ftHidden, ftSystem, ftVolumeID, ftDirectory, ftArchive, ftNormal };

// A set of TFileAttr, written like {ftDirectory, ftNormal}.
class TFileType {
public:
    TFileType() = default;
    TFileType(std::initializer_list<TFileAttr> attrs);
    bool Contains(TFileAttr attr) const { return (bits_ >> attr) & 1u; }
    void Include(TFileAttr attr) { bits_ |= 1u << attr; }
    void Exclude(TFileAttr attr) { bits_ &= ~(1u << attr); }
    bool operator==(const TFileType&) const = default;

private:
    unsigned bits_ = 0;
};

// The role of an entry of the folder list.
enum class TDirEntryKind { Root, Ancestor, Current, Subfolder };

// The class name of a drag source as the drop target should compare it:
// "TFileListBox" for a file list, "TDirectoryListBox" for a folder list, otherwise the
// Qt class name without namespace ("" for none).
std::string DragSourceClassName(const QObject* source);
// The names that a drag from a file list carries (empty for any other drag).
std::vector<std::string> DraggedFileNames(const QDropEvent* event);
// The MIME type of a drag from a file list: the selected names, one per line.
inline constexpr const char* FileListMimeType = "application/x-kestrel-filelist";

// The folder list: root, ancestor and current entries of FolderPath, then its subfolders.
class TDirectoryListBox : public QListView {
    Q_OBJECT
public:
    // Takes the process's current directory as FolderPath and builds the entries.
    explicit TDirectoryListBox(QWidget* parent = nullptr);
    ~TDirectoryListBox() override;

    // Assigning a file list (or nullptr) links both ways; reads as the linked list.
    class FileListLink {
    public:
        FileListLink& operator=(TFileListBox* list);
        operator TFileListBox*() const { return list_; }
        TFileListBox* operator->() const { return list_; }
        FileListLink(const FileListLink&) = delete;
        FileListLink& operator=(const FileListLink&) = delete;

    private:
        friend class TDirectoryListBox;
        friend class TFileListBox;
        explicit FileListLink(TDirectoryListBox* owner) : owner_(owner) {}
        TDirectoryListBox* owner_;
        TFileListBox* list_ = nullptr;
    };
    FileListLink FileList{this};

    // The folder shown, as the system reports the current directory.
    const std::string& FolderPath() const { return folderPath_; }
    // Opens a folder (a name, a relative or absolute path, or "[name]"); raises
    // EInOutError and changes nothing when it cannot be entered.
    void SetFolderPath(const std::string& path);
    // The absolute path that entry index stands for; empty for an index out of range.
    std::string ItemFolderPath(int index) const;
    // Opens ItemFolderPath(ItemIndex()).
    void OpenSelected();
    // Rebuilds the entries from the unchanged FolderPath, then runs the change step.
    void Rebuild();

    // Number of entries.
    int Count() const;
    // Text of entry index (a name; "/" for the root).
    std::string Item(int index) const;
    // Role of entry index.
    TDirEntryKind Kind(int index) const;
    // Pixels from the left edge at which entry index is drawn.
    int Indent(int index) const;
    // The focused entry, -1 when none.
    int ItemIndex() const;
    // Focuses and selects entry index (-1 clears).
    void SetItemIndex(int index);
    // The double-click action: OnDblClick first, then OpenSelected at the item index the
    // handler left.
    void DblClick();

    // Optional label that shows FolderPath, shortened from the left to its width.
    QLabel* DirLabel = nullptr;
    // Raised after every change of folder and after Rebuild.
    TListNotifyEvent OnChange;
    // Raised by a double click, before the entry at the item index is opened.
    TListNotifyEvent OnDblClick;
    // Receives errors of a double click or Enter; without it they propagate to the caller
    // of the event dispatch.
    TListErrorEvent OnError;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void build(bool select_current);
    void changeStep();
    void runUserAction(const std::function<void()>& action);
    void updateLabel();

    TEntryModel* model_;
    std::string folderPath_;
};

// The file list: the entries of FolderPath that match Mask and FileType, sorted.
class TFileListBox : public QListView {
    Q_OBJECT
public:
    // Takes the process's current directory as FolderPath and reads it with Mask "*.*".
    explicit TFileListBox(QWidget* parent = nullptr);
    ~TFileListBox() override;

    // The folder whose entries are listed.
    const std::string& FolderPath() const { return folderPath_; }
    // Makes path (relative to the old folder) current and re-reads when it differs;
    // raises EInOutError and changes nothing when it cannot be entered.
    void SetFolderPath(const std::string& path);
    // Patterns separated by ";", each taken exactly as written.
    const std::string& Mask() const { return mask_; }
    // Stores the mask and re-reads when it differs.
    void SetMask(const std::string& mask);
    // Kinds of entry searched.
    const TFileType& FileType() const { return fileType_; }
    // Stores the set and re-reads when it differs.
    void SetFileType(const TFileType& type);
    // Whether entries read from now on get a glyph.
    bool ShowGlyphs() const { return showGlyphs_; }
    // Turns glyphs on or off for the entries read from now on.
    void SetShowGlyphs(bool show);
    // Whether several entries can be selected at once.
    bool MultiSelect() const { return multiSelect_; }
    // Allows or forbids several selected entries.
    void SetMultiSelect(bool multi);
    // Reads the folder's entries again (the folder becomes the current directory).
    void Reread();

    // Text of the entry at the item index when that entry is selected, else "".
    std::string SelectedFileName() const;
    // JoinPath(FolderPath(), SelectedFileName()), or "" when none is selected.
    std::string SelectedFilePath() const;

    // Number of entries.
    int Count() const;
    // Text of entry index: a name, or "[name]" for a folder.
    std::string Item(int index) const;
    // Glyph of entry index.
    TGlyph Glyph(int index) const;
    // Selected flag of entry index.
    bool Selected(int index) const;
    // Sets the selected flag of entry index (with MultiSelect off, selects only it).
    void SetSelected(int index, bool selected);
    // The focused entry, -1 when none.
    int ItemIndex() const;
    // Focuses entry index (-1 clears the selection); without MultiSelect it also selects
    // only that entry.
    void SetItemIndex(int index);
    // The folder list that drives this list, or nullptr.
    TDirectoryListBox* DirList() const { return dirList_; }
    // What a drag of the selected entries carries: FileListMimeType with their texts.
    std::unique_ptr<QMimeData> SelectionMimeData() const;
    // The class name a drop target compares: "TFileListBox".
    static constexpr const char* ClassName = "TFileListBox";

    // Optional field that mirrors the selected name (or the mask when none is selected).
    QLineEdit* FileEdit = nullptr;
    // Raised after every reading and after a click that moved the item index.
    TListNotifyEvent OnChange;
    // Raised by a change of selection made by the user, before OnChange.
    TListNotifyEvent OnClick;

protected:
    void startDrag(Qt::DropActions supportedActions) override;

private:
    friend class TDirectoryListBox;
    void read(const std::string& folder);
    void changeStep();
    void userSelectionChanged();

    TEntryModel* model_;
    TDirectoryListBox* dirList_ = nullptr;
    std::string folderPath_;
    std::string mask_ = "*.*";
    TFileType fileType_{ftNormal};
    bool showGlyphs_ = false;
    bool multiSelect_ = false;
    int lastSelection_ = -1;
    int programmatic_ = 0;      // > 0 while the list itself changes the selection
    bool clickPending_ = false; // a user's change of selection waits to be reported
};

} // namespace kestrel

// Unit Newdir: the small modal dialog in which the user names a new local folder.
// One dialog object is created hidden at start and reused, so the last name typed is
// still there the next time it is shown.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLineEdit;
class QPushButton;

namespace kestrel {

class TNewDirForm : public QDialog {
public:
    explicit TNewDirForm(QWidget* parent = nullptr);

    QLineEdit* eNewDir;
    QPushButton* bOkay;

    // The name typed, or "Default" when the field is empty.
    std::string GetDirName() const;
    // Shows the dialog modally; its result is not needed by the caller.
    void ShowModal();
    // Test hook: when set, called instead of running the modal loop.
    std::function<void(TNewDirForm&)> OnShowModal;

    void eNewDirChange();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

extern TNewDirForm* NewDirForm;

} // namespace kestrel

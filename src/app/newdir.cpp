#include "app/newdir.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace kestrel {

TNewDirForm* NewDirForm = nullptr;

namespace {
constexpr int kClientWidth = 180;
constexpr int kClientHeight = 23;
} // namespace

TNewDirForm::TNewDirForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle("New Directory");
    // Minimise and maximise only: no system menu, hence no close box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowMinMaxButtonsHint);
    setFixedSize(kClientWidth, kClientHeight + 4);
    QFont font("DejaVu Sans");
    font.setPixelSize(11);
    setFont(font);

    eNewDir = new QLineEdit(this);
    eNewDir->setGeometry(2, 0, 121, 21);
    bOkay = new QPushButton("OK", this);
    bOkay->setGeometry(128, 0, 49, 23);
    bOkay->setEnabled(false);
    bOkay->setDefault(true);
    bOkay->setAutoDefault(true);
    setTabOrder(eNewDir, bOkay);

    connect(eNewDir, &QLineEdit::textChanged, this, [this] { eNewDirChange(); });
    connect(bOkay, &QPushButton::clicked, this, &QDialog::accept);
    eNewDir->installEventFilter(this);
}

void TNewDirForm::eNewDirChange() {
    bOkay->setEnabled(!eNewDir->text().isEmpty());
}

bool TNewDirForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == eNewDir && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (bOkay->isEnabled()) {
                bOkay->click(); // the default button takes Enter first
            } else {
                // Enter moves the focus on, like Tab; with an empty name it has nowhere
                // to go, so the dialog stays open.
                QTimer::singleShot(0, this, [this] { focusNextChild(); });
            }
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

std::string TNewDirForm::GetDirName() const {
    std::string text = eNewDir->text().toStdString();
    return text.empty() ? "Default" : text;
}

void TNewDirForm::ShowModal() {
    // In the centre of the screen, not over the main window's corner.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    if (OnShowModal) {
        OnShowModal(*this);
        return;
    }
    eNewDir->setFocus();
    exec();
}

} // namespace kestrel

#include "app/application.h"

#include "app/helpviewer.h"
#include "base/exception.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

#include <cstdio>

namespace kestrel {

namespace {

void ShowBox(QMessageBox::Icon icon, const std::string& caption, const std::string& text) {
    if (QApplication::instance() == nullptr) {
        // No window system (for example a failure before the application object of Qt
        // exists): the message must still reach someone.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        return;
    }
    // No parent: the box is centred on the screen.
    QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok);
    box.exec();
}

} // namespace

TApplication::TApplication() = default;

// The help window is not freed here: this object outlives Qt's application object, after
// which no widget may be touched. CloseHelp() frees it while Qt still runs.
TApplication::~TApplication() = default;

void TApplication::CloseHelp() {
    delete helpViewer_.data();
}

std::string TApplication::ExceptionText(const std::string& message) {
    // Compared as unsigned bytes: a message ending in a letter, a digit or any non-ASCII
    // byte gets a full stop; one ending in ".", "!", a blank or a line break does not.
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

void TApplication::ShowException(const std::exception& error) {
    const std::string text = ExceptionText(error.what());
    if (Capture) {
        Capture({TBoxKind::Exception, Title, text, 0, {}});
        return;
    }
    ShowBox(QMessageBox::Critical, Title, text);
}

void TApplication::MessageBox(const std::string& text) {
    if (Capture) {
        Capture({TBoxKind::Message, Title, text, 0, {}});
        return;
    }
    ShowBox(QMessageBox::NoIcon, Title, text);
}

int TApplication::Ask(const std::string& text, const std::vector<std::string>& buttons,
                      int cancelButton) {
    if (Capture) {
        TCapturedBox box{TBoxKind::Question, Title, text, 0, buttons};
        Capture(box);
        const int answer = Answer ? Answer(box) : cancelButton;
        return answer >= 0 && answer < int(buttons.size()) ? answer : cancelButton;
    }
    if (QApplication::instance() == nullptr)
        return cancelButton;
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(Title),
                    QString::fromStdString(text));
    std::vector<QAbstractButton*> choices;
    for (const std::string& caption : buttons)
        choices.push_back(box.addButton(QString::fromStdString(caption), QMessageBox::ActionRole));
    if (cancelButton >= 0 && cancelButton < int(choices.size())) {
        box.setEscapeButton(choices[std::size_t(cancelButton)]);
        box.setDefaultButton(qobject_cast<QPushButton*>(choices[std::size_t(cancelButton)]));
    }
    box.exec();
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (box.clickedButton() == choices[i])
            return int(i);
    return cancelButton;
}

bool TApplication::HelpCommand(int command, long /*data*/) {
    if (command != HELP_CONTENTS)
        return false;
    const std::string source = ResolveHelpFile(HelpFile);
    if (Capture) {
        Capture({TBoxKind::Help, Title, source, command, {}});
        return !source.empty();
    }
    if (source.empty())
        return false;
    if (!helpViewer_) {
        helpViewer_ = new THelpViewer();
        // Closing the window frees it; quitting frees it while the window system still runs.
        helpViewer_->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, helpViewer_.data(),
                         [this] { CloseHelp(); });
    }
    helpViewer_->setWindowTitle(QString::fromStdString(Title + " Help"));
    if (!helpViewer_->ShowHelpFile(source))
        return false;
    helpViewer_->show();
    helpViewer_->raise();
    helpViewer_->activateWindow();
    return true;
}

void TApplication::Guard(const std::function<void()>& handler) {
    try {
        handler();
        return;
    } catch (const std::exception& error) {
        if (OnHandlerError) {
            // The display of the original error matters more than a failure to tidy up.
            try {
                OnHandlerError();
            } catch (...) {
            }
        }
        ShowException(error);
        return;
    } catch (...) {
        if (OnHandlerError) {
            try {
                OnHandlerError();
            } catch (...) {
            }
        }
        ShowException(Exception("Unknown error"));
    }
}

TApplication& Application() {
    static TApplication application;
    return application;
}

} // namespace kestrel

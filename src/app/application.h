// The application object: title, help file, the exception display, the plain message box
// and the help command.
//
// Every modal box of the program and every help request goes through this object, so that
// tests can install a capture function and record them instead of running a modal loop.
// Window handlers run inside Guard(), which shows any exception that escapes them the way
// the exception display does and lets the program go on.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <QPointer>

namespace kestrel {

class THelpViewer;

// Windows help command that shows the contents page of the help file.
inline constexpr int HELP_CONTENTS = 3;

enum class TBoxKind {
    Exception, // error icon, OK
    Message,   // no icon, OK
    Help,      // a help command: Text is the help file that would be shown
    Question,  // a question: Text, and Buttons to choose from
};

struct TCapturedBox {
    TBoxKind Kind;
    std::string Caption;
    std::string Text;
    int Command = 0;                  // the help command, for Kind == Help
    std::vector<std::string> Buttons; // the choices, for Kind == Question
};

class TApplication {
public:
    TApplication();
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    std::string Title = "KestrelFTP";
    std::string HelpFile = "KestrelFTP.Hlp";

    // When set, boxes and help commands are handed to this function instead of being shown.
    std::function<void(const TCapturedBox&)> Capture;
    // While Capture is set, answers questions: the index of the chosen button. Without it a
    // captured question is answered with its cancel button.
    std::function<int(const TCapturedBox&)> Answer;

    // Called by Guard() after a handler ended with an exception and before the exception is
    // shown, so that the window can restore its idle view.
    std::function<void()> OnHandlerError;

    // Shows the exception's message in a box with the title as caption, an error icon and
    // an OK button; a full stop is appended when the last character sorts after ".".
    void ShowException(const std::exception& error);

    // A plain box: the text, the title as caption, no icon, one OK button, screen-centred.
    void MessageBox(const std::string& text);

    // Asks a question with the given buttons in a box with the title as caption and a
    // warning icon; returns the index of the button chosen. Closing the box (Esc) chooses
    // cancelButton.
    int Ask(const std::string& text, const std::vector<std::string>& buttons, int cancelButton);

    // Runs a help command on HelpFile. HELP_CONTENTS opens the help window on the contents
    // page; returns false for a command it does not know or a help file it cannot find.
    bool HelpCommand(int command, long data);

    // Runs a window handler and shows any exception that escapes it.
    void Guard(const std::function<void()>& handler);

    // The help window, once a help command has opened it (null before and after it closed).
    THelpViewer* HelpViewer() const { return helpViewer_.data(); }

    // Closes and frees the help window (also done when the application quits).
    void CloseHelp();

    // The text the exception display shows for a message (the full-stop rule).
    static std::string ExceptionText(const std::string& message);

private:
    QPointer<THelpViewer> helpViewer_;
};

// The one application object of the program.
TApplication& Application();

} // namespace kestrel

// The program's help window: shows the help document (HTML) in a text browser.
#pragma once

#include <QWidget>

#include <string>

class QTextBrowser;

namespace kestrel {

// Where the help document of the given name is found: an absolute name as it is, otherwise
// the file of that name next to the program, otherwise the copy built into the program
// (a ":/" resource path). Empty when none exists.
std::string ResolveHelpFile(const std::string& name);

class THelpViewer : public QWidget {
public:
    explicit THelpViewer(QWidget* parent = nullptr);

    // Loads the document (a file or resource path) and shows its contents page; false when
    // it cannot be read.
    bool ShowHelpFile(const std::string& source);

    QTextBrowser* Browser() const { return browser_; }

private:
    QTextBrowser* browser_;
};

} // namespace kestrel

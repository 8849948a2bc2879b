#include "app/httpcheck.h"

#include "base/files.h"
#include "publish/names.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <algorithm>
#include <cctype>
#include <deque>
#include <memory>

namespace kestrel {
namespace {

// Pages fetched at once: a small site's web space is often on a shared host.
constexpr int kPagesAtOnce = 4;
// A page larger than this is not read whole: it is reported, not compared.
constexpr qint64 kLongestPage = 64 << 20;

// Why the page served differs from the file published, in words that point at the cause.
std::string Difference(const std::string& url, QNetworkReply& reply, const QByteArray& served,
                       const std::string& local) {
    const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply.error() != QNetworkReply::NoError && status == 0)
        return "could not fetch " + url + ": " + reply.errorString().toStdString();
    if (status == 404 || status == 410)
        return "the web server has no page at " + url + " (HTTP " + std::to_string(status) +
               "): is the remote folder the one the site is served from?";
    if (status != 200)
        return "the web server answers HTTP " + std::to_string(status) + " " +
               reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute)
                   .toString()
                   .toStdString() +
               " for " + url;
    if (served.size() != qint64(local.size()) ||
        !std::equal(served.begin(), served.end(), local.begin()))
        return "the page served at " + url + " differs from the file published (" +
               std::to_string(served.size()) + " bytes served, " + std::to_string(local.size()) +
               " published): an old copy in a cache, another folder served, or a server that "
               "rewrites pages";
    return "";
}

} // namespace

bool IsCheckedPage(const std::string& path) {
    const std::string suffix = LowerSuffix(path);
    return suffix == "htm" || suffix == "html" || suffix == "xhtml";
}

std::string CheckUrlProblem(const std::string& url) {
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || (scheme != "http" && scheme != "https") || parsed.host().isEmpty())
        return "'" + url + "' is not an http:// or https:// address of the site";
    if (parsed.hasQuery() || parsed.hasFragment())
        return "'" + url + "' has a query or a fragment; give the address of the site's folder";
    return "";
}

std::string PageUrl(const std::string& base, const std::string& relative) {
    std::string url = base;
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        url += "/" +
               QUrl::toPercentEncoding(QString::fromStdString(relative.substr(start, end - start)))
                   .toStdString();
        start = end + 1;
    }
    return url;
}

THttpCheck CheckOverHttp(const std::string& base, const std::string& localRoot,
                         const std::vector<std::string>& paths, int timeoutMs) {
    THttpCheck check;
    std::deque<std::string> waiting;
    for (const std::string& path : paths)
        if (IsCheckedPage(path))
            waiting.push_back(path);
    if (waiting.empty())
        return check;
    QNetworkAccessManager manager;
    QEventLoop loop;
    int running = 0;
    std::function<void()> startNext = [&] {
        while (running < kPagesAtOnce && !waiting.empty()) {
            const std::string path = waiting.front();
            waiting.pop_front();
            const std::string url = PageUrl(base, path);
            QNetworkRequest request(QUrl::fromEncoded(QByteArray::fromStdString(url)));
            // What a visitor gets now, not what a cache on the way kept.
            request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                 QNetworkRequest::AlwaysNetwork);
            request.setRawHeader("Cache-Control", "no-cache");
            request.setRawHeader("Accept-Encoding", "identity");
            request.setTransferTimeout(timeoutMs);
            QNetworkReply* reply = manager.get(request);
            ++running;
            QObject::connect(reply, &QNetworkReply::finished, &loop, [&, reply, path, url] {
                const QByteArray served = reply->read(kLongestPage);
                std::string local;
                std::string problem;
                if (ReadRegularFile(localRoot + "/" + path, local, std::size_t(kLongestPage)) !=
                    TReadResult::Read)
                    problem = "the local file could not be read to compare it";
                else
                    problem = Difference(url, *reply, served, local);
                ++check.Checked;
                if (!problem.empty())
                    check.Failures.push_back({path, problem});
                reply->deleteLater();
                --running;
                startNext();
                if (running == 0)
                    loop.quit();
            });
        }
    };
    startNext();
    loop.exec();
    std::sort(check.Failures.begin(), check.Failures.end(),
              [](const TPublishFailure& a, const TPublishFailure& b) { return a.Path < b.Path; });
    return check;
}

std::string HttpCheckText(const THttpCheck& check) {
    if (check.Checked == 0)
        return "Checked over HTTP: no changed page to fetch";
    const std::string pages =
        std::to_string(check.Checked) + (check.Checked == 1 ? " page" : " pages");
    if (check.Failures.empty())
        return "Checked over HTTP: " + pages + ", all as published";
    return "Checked over HTTP: " + pages + ", " + std::to_string(check.Failures.size()) +
           (check.Failures.size() == 1 ? " differs" : " differ");
}

} // namespace kestrel

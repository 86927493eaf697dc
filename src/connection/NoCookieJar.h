#pragma once

#include <QNetworkCookie>
#include <QNetworkCookieJar>

// A cookie jar that stores and sends nothing: the only cookie a client sends is its own session,
// set by hand on every request.
class NoCookieJar : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;

    QList<QNetworkCookie> cookiesForUrl(const QUrl &) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
};

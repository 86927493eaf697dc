#pragma once

#include <QUrl>
#include <QWidget>

#include <memory>

class NativeConnectivity;

// A bar shown only while the window's server cannot be reached. Each time the server goes from
// reachable to unreachable while the window shows, screen readers are told the message once.
class NativeOfflineBanner : public QWidget {
    Q_OBJECT
public:
    NativeOfflineBanner(std::shared_ptr<NativeConnectivity> connectivity, const QUrl &origin,
                        const QString &message, QWidget *parent = nullptr);

    const QString &message() const { return m_message; }
    bool offline() const { return m_offline; }
    QSize sizeHint() const override;

Q_SIGNALS:
    // An accessibility announcement of `message` was posted.
    void announced();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();

    std::shared_ptr<NativeConnectivity> m_connectivity;
    QUrl m_origin;
    QString m_message;
    bool m_offline = false;
};

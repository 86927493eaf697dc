#pragma once

#include "async/CancellationToken.h"
#include "sheet/SheetPanelWire.h"

#include <QCoroTask>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <optional>

class SheetModel;

// Who may open the open sheet and which links lead to it: granting and removing people's access,
// creating and revoking links. A new link's address comes once, in the answer that created it
// (`sharing().NewLink`); the next load replaces it with an empty one.
class SheetSharing : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<SharingPage> sharing READ sharing NOTIFY sharingChanged)

public:
    // The roles a person may be given, and those a link may carry.
    static const QStringList roles;
    static const QStringList linkRoles;

    explicit SheetSharing(SheetModel &model) : m_model(model) {}

    const std::optional<SharingPage> &sharing() const { return m_sharing; }
    // Whether the open sheet lets this account manage its sharing (its owners).
    bool mayShare() const;

    // Replaces `sharing`; a failure keeps it and shows its message in the model's `error`.
    QCoro::Task<> load(CancellationToken token = {});
    // Gives the person with `address` (sent unchanged) the `role`, then reloads. True when confirmed.
    QCoro::Task<bool> grant(QString address, QString role);
    QCoro::Task<bool> removeAccess(quint64 member);
    // Creates a link granting `role`; the answer, with the link's address, becomes `sharing`.
    QCoro::Task<bool> createLink(QString role);
    QCoro::Task<bool> revokeLink(quint64 link);

    // Another sheet was opened: nothing of this one's sharing may show there.
    void sheetOpened();

Q_SIGNALS:
    void sharingChanged();

private:
    QCoro::Task<bool> commandThenLoad(QString path, QMap<QString, QString> fields);
    void setSharing(std::optional<SharingPage> sharing);

    SheetModel &m_model;
    std::optional<SharingPage> m_sharing;
};

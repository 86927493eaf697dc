#include "sheet/SheetSharing.h"

#include "sheet/SheetModel.h"

const QStringList SheetSharing::roles{QStringLiteral("viewer"), QStringLiteral("commenter"),
                                      QStringLiteral("editor"), QStringLiteral("owner")};
const QStringList SheetSharing::linkRoles{QStringLiteral("viewer"), QStringLiteral("commenter")};

void SheetSharing::setSharing(std::optional<SharingPage> sharing) {
    if (m_sharing == sharing)
        return;
    m_sharing = std::move(sharing);
    Q_EMIT sharingChanged();
}

bool SheetSharing::mayShare() const {
    return m_model.page() && m_model.page()->MayShare;
}

QCoro::Task<> SheetSharing::load(CancellationToken token) {
    auto self = m_model.shared_from_this();
    std::optional<SharingPage> answer =
        co_await m_model.loadCurrent<SharingPage>(QStringLiteral("/share"), token);
    if (answer)
        setSharing(std::move(answer));
}

QCoro::Task<bool> SheetSharing::commandThenLoad(QString path, FormFields fields) {
    auto self = m_model.shared_from_this();
    const bool confirmed = co_await m_model.command(std::move(path), std::move(fields));
    co_await load();
    co_return confirmed;
}

QCoro::Task<bool> SheetSharing::grant(QString address, QString role) {
    return commandThenLoad(QStringLiteral("/share"),
                           {{QStringLiteral("address"), address}, {QStringLiteral("role"), role}});
}

QCoro::Task<bool> SheetSharing::removeAccess(quint64 member) {
    return commandThenLoad(QStringLiteral("/share/revoke"),
                           {{QStringLiteral("member"), QString::number(member)}});
}

QCoro::Task<bool> SheetSharing::revokeLink(quint64 link) {
    return commandThenLoad(QStringLiteral("/share/link/revoke"),
                           {{QStringLiteral("link"), QString::number(link)}});
}

QCoro::Task<bool> SheetSharing::createLink(QString role) {
    auto self = m_model.shared_from_this();
    const std::optional<quint64> sheet = m_model.openSheetID();
    const FormFields fields{{QStringLiteral("role"), role}};
    try {
        SharingPage page =
            co_await m_model.form<SharingPage>(m_model.base() + QStringLiteral("/share/link"), fields);
        if (m_model.openSheetID() != sheet)
            co_return false;
        setSharing(std::move(page));
        co_return true;
    } catch (const CancellationError &) {
        co_return false;
    } catch (...) {
        if (m_model.openSheetID() == sheet)
            m_model.setError(NativeClientError::messageOf(std::current_exception()));
        co_return false;
    }
}

void SheetSharing::sheetOpened() {
    setSharing(std::nullopt);
}

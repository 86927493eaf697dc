#pragma once

#include "connection/JsonReader.h"

#include <QList>
#include <QString>

#include <optional>

// The JSON records of the comment, sharing and import requests (capitalised keys, except the
// import job's, which the server writes in lower case).

struct CommentEntry {
    quint64 ID = 0;
    QString Author;
    QString Body;

    bool operator==(const CommentEntry &) const = default;
    static CommentEntry decode(const JsonObject &object);
};

struct CommentThread {
    qint64 RowPos = 0;
    qint64 ColPos = 0;
    QString Ref;
    QList<CommentEntry> Entries;
    bool Resolved = false;

    bool operator==(const CommentThread &) const = default;
    static CommentThread decode(const JsonObject &object);
};

struct CommentsPage {
    std::optional<QList<CommentThread>> Threads;

    static CommentsPage decode(const JsonObject &object);
};

struct SharedMember {
    quint64 ID = 0;
    QString Address;

    bool operator==(const SharedMember &) const = default;
    static SharedMember decode(const JsonObject &object);
};

struct SharedPerson {
    SharedMember Member;
    QString Role;

    bool operator==(const SharedPerson &) const = default;
    static SharedPerson decode(const JsonObject &object);
};

struct SharedLink {
    quint64 ID = 0;
    QString Role;

    bool operator==(const SharedLink &) const = default;
    static SharedLink decode(const JsonObject &object);
};

struct SharingPage {
    std::optional<QList<SharedPerson>> People;
    std::optional<QList<SharedLink>> Links;
    QString NewLink;
    QString Notice;

    bool operator==(const SharingPage &) const = default;
    static SharingPage decode(const JsonObject &object);
};

struct ImportStarted {
    QString job;

    static ImportStarted decode(const JsonObject &object);
};

struct ImportProgress {
    QString status;
    QString progress;
    QString error;
    QString location;

    static ImportProgress decode(const JsonObject &object);
};

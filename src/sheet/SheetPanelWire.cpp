#include "sheet/SheetPanelWire.h"

#include "sheet/SheetWire.h"

CommentEntry CommentEntry::decode(const JsonObject &o) {
    return CommentEntry{o.requiredUInt64("ID"), o.requiredString("Author"), o.requiredString("Body")};
}

CommentThread CommentThread::decode(const JsonObject &o) {
    return CommentThread{o.requiredInt("RowPos"), o.requiredInt("ColPos"), o.requiredString("Ref"),
                         decodeList<CommentEntry>(o.requiredArray("Entries")), o.requiredBool("Resolved")};
}

CommentsPage CommentsPage::decode(const JsonObject &o) {
    return CommentsPage{decodeOptionalList<CommentThread>(o.optionalArray("Threads"))};
}

SharedMember SharedMember::decode(const JsonObject &o) {
    return SharedMember{o.requiredUInt64("ID"), o.requiredString("Address")};
}

SharedPerson SharedPerson::decode(const JsonObject &o) {
    return SharedPerson{SharedMember::decode(o.requiredObject("Member")), o.requiredString("Role")};
}

SharedLink SharedLink::decode(const JsonObject &o) {
    return SharedLink{o.requiredUInt64("ID"), o.requiredString("Role")};
}

SharingPage SharingPage::decode(const JsonObject &o) {
    return SharingPage{decodeOptionalList<SharedPerson>(o.optionalArray("People")),
                       decodeOptionalList<SharedLink>(o.optionalArray("Links")), o.requiredString("NewLink"),
                       o.requiredString("Notice")};
}

ImportStarted ImportStarted::decode(const JsonObject &o) {
    return ImportStarted{o.requiredString("job")};
}

ImportProgress ImportProgress::decode(const JsonObject &o) {
    return ImportProgress{o.requiredString("status"), o.requiredString("progress"), o.requiredString("error"),
                          o.requiredString("location")};
}

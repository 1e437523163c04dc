// Reads arbitrary bytes as an access file. The reader must end; a state in
// force must be consistent; and the text the writer makes from it must read
// back as the same state.

#include "common/TestModelContext.h"
#include "model/PHFSItem.h"
#include "support/PHTextFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

TestModelContext &context() {
    static TestModelContext *shared = [] {
        auto *made = new TestModelContext;
        made->users = {QStringLiteral("alice"), QStringLiteral("bob"), QStringLiteral("Order"),
                       QStringLiteral("jürgen")};
        made->groups = {QStringLiteral("staff"), QStringLiteral("deny")};
        made->webRoot = QStringLiteral("/srv/www");
        return made;
    }();
    return *shared;
}

void check(bool condition, int line) {
    if (condition)
        return;
    std::fprintf(stderr, "fuzz_access_reader.cpp:%d: the check failed\n", line);
    std::abort();
}
#define check(condition) check((condition), __LINE__)

QStringList distinct(QStringList list) {
    list.removeDuplicates();
    return list;
}

bool onlyFrom(const QStringList &list, const QStringList &allowed) {
    for (const QString &element : list)
        if (!allowed.contains(element))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const PHTextFile file =
        PHTextFile::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!file.ok())
        return 0;
    TestModelContext &panel = context();
    panel.knownAddresses = {QStringLiteral("127.0.0.1"), QStringLiteral("10.0.0.0/8"),
                            QStringLiteral("host.domain.tld")};
    panel.discover = size % 2 == 1;

    // A node without a path: nothing on disk is read or written.
    PHFSItem item(QString(), nullptr);
    item.setContext(panel.model());
    item.setStringValue(file.text);

    check(!item.isAuthenticationDisabled() || item.authStatus() == 0);
    check(item.isAuthenticationDisabled() || (item.authStatus() & 3) != 0);
    const QStringList users = item.listForKey(PHFSItem::RequireUserKey);
    check(users == QStringList{PHFSItem::anyUserRealName} || onlyFrom(users, panel.users));
    check(onlyFrom(item.listForKey(PHFSItem::RequireGroupKey), panel.groups));
    for (const QString &key : {PHFSItem::AllowFromKey, PHFSItem::DenyFromKey})
        for (const QString &address : item.listForKey(key))
            check(panel.knownAddresses.contains(address) && PHFSItem::isAcceptableAddress(address));
    for (const QString &address : panel.knownAddresses.mid(3))
        check(PHFSItem::isAcceptableAddress(address));
    if (item.authStatus() == 0 || item.isHandManaged())
        return 0; // such a state is never written

    PHFSItem back(QString(), nullptr);
    back.setContext(panel.model());
    back.setStringValue(item.accessFileText());
    check(!back.isHandManaged());
    // "Satisfy" is written in force for every protected folder, so only the
    // status that counts survives, not bits that do not.
    check(back.authStatus() == item.authStatus());
    check(back.isAuthenticationDisabled() == item.isAuthenticationDisabled());
    check(back.isAllowSet() == item.isAllowSet());
    check(back.listForKey(PHFSItem::RequireUserKey) == users);
    check(back.listForKey(PHFSItem::RequireGroupKey) == item.listForKey(PHFSItem::RequireGroupKey));
    // Lists come back whole (the allow list commented out in deny mode);
    // ::1 goes with 127.0.0.1, which stands for this computer.
    const auto thisComputer = [](QStringList list) {
        if (list.contains(QStringLiteral("127.0.0.1")))
            list.removeAll(QStringLiteral("::1"));
        return list;
    };
    check(back.listForKey(PHFSItem::AllowFromKey) ==
          thisComputer(distinct(item.listForKey(PHFSItem::AllowFromKey))));
    if (!item.isAllowSet())
        check(back.listForKey(PHFSItem::DenyFromKey) ==
              thisComputer(distinct(item.listForKey(PHFSItem::DenyFromKey))));
    check(back.customLines() == item.customLines());
    return 0;
}

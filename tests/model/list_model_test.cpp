// The generic table model: the shape of its rows, what a row reads and
// stores, its summaries, and removal. And the boxed sender.

#include "model/PHListModel.h"

#include <gtest/gtest.h>

namespace {
QVariantMap record(const QString &user, const QString &password) {
    return QVariantMap{{"user", user}, {"basic password", password}};
}
} // namespace

TEST(ListModelTest, PlainValuesFormOneColumn) {
    const auto source = PHListModel::withRows({QStringLiteral("10.0.0.1"), QStringLiteral("example.org")});
    EXPECT_EQ(source->numberOfRows(), 2);
    EXPECT_EQ(source->numberOfColumns(), 1);
    EXPECT_EQ(source->objectAtRowColumn(1, QStringLiteral("address")).toString(),
              QStringLiteral("example.org"));
    EXPECT_EQ(source->summaryTextForRow(0), QStringLiteral("10.0.0.1"));
    source->setObjectForRowColumn(QStringLiteral("10.0.0.2"), 0, QStringLiteral("any"));
    EXPECT_EQ(source->dataArray().first().toString(), QStringLiteral("10.0.0.2"));
    // Rows outside the list read as nothing and store nothing.
    EXPECT_FALSE(source->objectAtRowColumn(2, QStringLiteral("address")).isValid());
    EXPECT_FALSE(source->objectAtRowColumn(-1, QStringLiteral("address")).isValid());
    source->setObjectForRowColumn(QStringLiteral("x"), 5, QStringLiteral("address"));
    EXPECT_EQ(source->numberOfRows(), 2);
}

TEST(ListModelTest, RecordsFormAColumnPerKey) {
    PHListModel source({record("bob", "h1"), record("ann", "h2")});
    EXPECT_EQ(source.numberOfColumns(), 2);
    EXPECT_EQ(source.rowCount(), 2);
    EXPECT_EQ(source.objectAtRowColumn(1, QStringLiteral("user")).toString(), QStringLiteral("ann"));
    EXPECT_FALSE(source.objectAtRowColumn(1, QStringLiteral("missing")).isValid());
    source.setObjectForRowColumn(QStringLiteral("h3"), 0, QStringLiteral("basic password"));
    EXPECT_EQ(source.dataArray().first(), QVariant(record("bob", "h3")));
    // Every value followed by one space, in the record's own order.
    EXPECT_EQ(source.summaryTextForRow(0), QStringLiteral("h3 bob "));

    PHListModel mixed({QVariantMap{{"on", true}, {"n", 3}}});
    EXPECT_EQ(mixed.summaryTextForRow(0), QStringLiteral("3 1 "));
}

TEST(ListModelTest, RemovalRefusesPlacesOutsideTheList) {
    PHListModel source({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    int reloads = 0;
    QObject::connect(&source, &QAbstractItemModel::modelReset, [&reloads] { ++reloads; });

    for (const qsizetype index : {-1, 3})
        EXPECT_FALSE(source.removeElement(index)) << index;
    EXPECT_EQ(source.numberOfRows(), 3);
    EXPECT_EQ(reloads, 0);

    EXPECT_TRUE(source.removeElement(0));
    EXPECT_EQ(source.dataArray(), (QVariantList{QStringLiteral("b"), QStringLiteral("c")}));
    EXPECT_TRUE(source.removeElement(1));
    EXPECT_EQ(source.dataArray(), QVariantList{QStringLiteral("b")});
    EXPECT_EQ(reloads, 2);

    source.setDataArray({});
    EXPECT_EQ(source.numberOfRows(), 0);
    EXPECT_FALSE(source.removeElement(0));
}

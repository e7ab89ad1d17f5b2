#include <gtest/gtest.h>

#include <QSet>
#include <QStringList>

#include "slideshow/ShuffleOrder.h"

namespace {

QStringList Names(int from, int to)
{
    QStringList names;
    for (int i = from; i < to; ++i)
        names << QStringLiteral("/p/%1.jpg").arg(i);
    return names;
}

} // namespace

// Every picture once a round, in an order the seed fixes; pictures found
// during a round join it; a round ends only when every picture is known.
TEST(ShuffleOrder, EachPictureOnceARoundAndANewOrderAfter)
{
    ShuffleOrder order(7);
    EXPECT_FALSE(order.Forward()) << "nothing known yet";
    order.Add(Names(0, 10));
    QStringList round;
    for (int i = 0; i < 6; ++i)
        round << *order.Forward();
    order.Add(Names(5, 20)); // five known already
    EXPECT_EQ(order.Known(), 20);
    while (std::optional<QString> next = order.Forward())
        round << *next;
    EXPECT_EQ(round.size(), 20) << "the round waits for more while the listing goes on";
    EXPECT_EQ(QSet<QString>(round.begin(), round.end()).size(), 20);
    EXPECT_NE(round.mid(0, 10), Names(0, 10)) << "shuffled";

    order.SetComplete();
    QStringList next;
    for (int i = 0; i < 20; ++i)
        next << *order.Forward();
    EXPECT_EQ(QSet<QString>(next.begin(), next.end()).size(), 20);
    EXPECT_NE(next.first(), round.last()) << "a new round does not repeat the picture before it";
    EXPECT_NE(next, round);

    ShuffleOrder same(7);
    same.Add(Names(0, 10));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(*same.Forward(), round[i]) << "the same seed, the same order";

    ShuffleOrder one(1);
    one.Add(Names(0, 1));
    one.SetComplete();
    EXPECT_EQ(*one.Forward(), "/p/0.jpg");
    EXPECT_EQ(*one.Forward(), "/p/0.jpg") << "one picture comes again and again";
    ShuffleOrder none(1);
    none.SetComplete();
    EXPECT_FALSE(none.Forward());
}

// Back walks what was shown; forward again walks the same pictures, then
// new ones; a picture picked ahead is the one the step shows.
TEST(ShuffleOrder, BackAndForwardWalkTheHistoryAndPeekedPicturesCome)
{
    ShuffleOrder order(3);
    order.Add(Names(0, 50));
    order.SetComplete();
    EXPECT_FALSE(order.Current());
    EXPECT_FALSE(order.Back());
    QStringList shown;
    for (int i = 0; i < 5; ++i)
        shown << *order.Forward();
    EXPECT_EQ(*order.Current(), shown[4]);
    EXPECT_EQ(*order.PeekBack(1), shown[3]);
    EXPECT_EQ(*order.PeekBack(4), shown[0]);
    EXPECT_FALSE(order.PeekBack(5));
    EXPECT_EQ(*order.Back(), shown[3]);
    EXPECT_EQ(*order.Back(), shown[2]);
    EXPECT_EQ(*order.Peek(1), shown[3]);
    EXPECT_EQ(*order.Forward(), shown[3]);
    EXPECT_EQ(*order.Forward(), shown[4]);
    const QString ahead2 = *order.Peek(2);
    const QString ahead1 = *order.Peek(1);
    EXPECT_FALSE(shown.contains(ahead1) || shown.contains(ahead2));
    EXPECT_EQ(*order.Forward(), ahead1);
    EXPECT_EQ(*order.Forward(), ahead2);
    for (int i = 0; i < 5; ++i)
        order.Back();
    EXPECT_EQ(*order.Current(), shown[1]);
    EXPECT_FALSE(order.Back() && order.Back() && order.Back()) << "nothing before the first picture";
    EXPECT_EQ(*order.Current(), shown[0]);
}

// A show that starts at a given picture shows it first, and not again in
// the first round.
TEST(ShuffleOrder, StartsWithAGivenPicture)
{
    ShuffleOrder order(5);
    order.Add(Names(0, 8));
    EXPECT_FALSE(order.StartWith(QStringLiteral("/p/9.jpg"))) << "not known";
    ASSERT_TRUE(order.StartWith(QStringLiteral("/p/6.jpg")));
    EXPECT_EQ(*order.Current(), "/p/6.jpg");
    EXPECT_FALSE(order.StartWith(QStringLiteral("/p/1.jpg"))) << "the order has begun";
    QStringList round{*order.Current()};
    while (std::optional<QString> next = order.Forward())
        round << *next;
    EXPECT_EQ(round.size(), 8);
    EXPECT_EQ(QSet<QString>(round.begin(), round.end()).size(), 8);
}

// A show left running keeps a bounded history, and still goes back far.
TEST(ShuffleOrder, HistoryStaysBoundedOverManyRounds)
{
    ShuffleOrder order(11);
    order.Add(Names(0, 100));
    order.SetComplete();
    for (int i = 0; i < 5 * ShuffleOrder::kKeptBehind; ++i)
        ASSERT_TRUE(order.Forward());
    int back = 0;
    while (order.Back())
        ++back;
    EXPECT_GE(back, ShuffleOrder::kKeptBehind);
    EXPECT_LT(back, 2 * ShuffleOrder::kKeptBehind);
}

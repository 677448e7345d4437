// The window as a Debian desktop shows it: flow lines under real locales, from a datagram on the
// wire to the pixels of the memo; the fonts it asks for; the memo taking what the window gains.
// Binds UDP port 9996 (CTest lock udp9996).
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QMenuBar>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <string>

#include "FlowLines.h"
#include "Loopback.h"
#include "Main.h"
#include "MemoView.h"
#include "ScopedLocale.h"
#include "TestDatagrams.h"
#include "support/DateTime.h"

namespace {

constexpr std::uint16_t kPort = 9996;
constexpr int kWaitMs = 15000;

QString Separator() {
    const std::string& sep = brix32::ThousandsSeparator();
    return flowlines::LocaleCodesetIsUtf8() ? QString::fromStdString(sep) : QString::fromLatin1(sep.c_str());
}

// The rightmost column of Row's pixels that is not the background, painted as the memo paints.
int LastInkColumn(const QImage& Image, int Top, int Height) {
    const QRgb background = Image.pixel(Image.width() - 1, Top);
    for (int x = Image.width() - 1; x >= 0; --x) {
        for (int y = Top; y < Top + Height && y < Image.height(); ++y) {
            if (Image.pixel(x, y) != background) return x;
        }
    }
    return -1;
}

}  // namespace

class DesktopWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { QTRY_VERIFY_WITH_TIMEOUT(loopback::PortIsFree(kPort), kWaitMs); }
    void flowLinesShowTheLocalesSeparatorInAlignedColumns_data();
    void flowLinesShowTheLocalesSeparatorInAlignedColumns();
    void fontsResolveToTheMetricCompatibleOnes();
    void memoGrowsWithTheWindowAndKeepsItsInitialPlace();
};

void DesktopWindowTest::flowLinesShowTheLocalesSeparatorInAlignedColumns_data() {
    QTest::addColumn<QString>("locale");
    for (const char* name : kLineLocales) QTest::newRow(name) << QString::fromLatin1(name);
}

void DesktopWindowTest::flowLinesShowTheLocalesSeparatorInAlignedColumns() {
    QFETCH(QString, locale);
    const ScopedLocale scoped(locale.toLatin1().constData());
    if (!scoped.Available()) QSKIP(qPrintable(locale + QStringLiteral(" is not generated on this machine")));

    Collector collector;

    TForm1 form(collector);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(form.UDPServer.Active());
    testdatagrams::V5Flow big;
    big.octets = 123456;
    // Ends in the same digit, with no separator to shift it.
    testdatagrams::V5Flow small = big;
    small.octets = 456;
    loopback::Send(testdatagrams::V5Datagram({big, small}), kPort);
    QTRY_COMPARE_WITH_TIMEOUT(form.Memo->lineCount(), 2, kWaitMs);

    // 88 characters, whatever the separator's bytes, and it reads as the locale writes it.
    const QString line = form.Memo->line(0);
    QCOMPARE(line.size(), 88);
    QCOMPARE(line.mid(81), QStringLiteral("123") + Separator() + QStringLiteral("456"));
    QCOMPARE(form.Memo->line(1).size(), 88);
    QVERIFY(!line.contains(QChar(0xFFFD)));

    // On screen the two counts end in the same pixel column: a separator the font lacks still
    // takes one character's width.
    form.resize(1400, form.height());
    QTRY_VERIFY_WITH_TIMEOUT(form.Memo->viewport()->width() > 700, kWaitMs);
    form.Memo->horizontalScrollBar()->setValue(0);
    QImage image(form.Memo->viewport()->size(), QImage::Format_RGB32);
    form.Memo->viewport()->render(&image);
    const int spacing = static_cast<int>(std::ceil(QFontMetricsF(form.Memo->font()).lineSpacing()));
    const int first = LastInkColumn(image, 4, spacing);
    const int second = LastInkColumn(image, 4 + spacing, spacing);
    QVERIFY(first > 0);
    QVERIFY2(std::abs(first - second) <= 1, qPrintable(QStringLiteral("%1 vs %2").arg(first).arg(second)));
    const qreal expected = 4 + QFontMetricsF(form.Memo->font()).horizontalAdvance(QLatin1Char('0')) * 88;
    QVERIFY2(std::abs(first - expected) <= 2, qPrintable(QStringLiteral("%1 vs %2").arg(first).arg(expected)));

    // Copied text is the characters shown.
    form.Memo->selectAll();
    QCOMPARE(form.Memo->selectedText(), line + QLatin1Char('\n') + form.Memo->line(1));
}

// Liberation Mono has Courier New's advance of 0.6 em; Liberation Sans stands in for MS Sans Serif.
void DesktopWindowTest::fontsResolveToTheMetricCompatibleOnes() {
    for (const char* family : {"Liberation Mono", "Liberation Sans"}) {
        if (!QFontDatabase::hasFamily(QString::fromLatin1(family))) QSKIP("fonts-liberation is not installed");
    }
    Collector collector;
    TForm1 form(collector);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(QFontInfo(form.Memo->font()).family(), QStringLiteral("Liberation Mono"));
    QCOMPARE(QFontInfo(form.font()).family(), QStringLiteral("Liberation Sans"));
    QCOMPARE(form.Memo->font().pointSize(), 8);
    const QFontMetricsF metrics(form.Memo->font());
    const qreal line = metrics.horizontalAdvance(QString(88, QLatin1Char('0')));
    QVERIFY2(std::abs(line - 88 * 0.6 * QFontInfo(form.Memo->font()).pixelSize()) < 88 * 0.05,
             qPrintable(QString::number(line)));
    qInfo("88 columns: %.1f px; memo viewport at the initial size: %d px", line, form.Memo->viewport()->width());
}

void DesktopWindowTest::memoGrowsWithTheWindowAndKeepsItsInitialPlace() {
    Collector collector;
    TForm1 form(collector);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.Memo->geometry(), QRect(428, 8, 529, 401));

    // Wide enough for a whole version 5 line in the memo's font, and a little higher.
    const qreal line = QFontMetricsF(form.Memo->font()).horizontalAdvance(QString(88, QLatin1Char('0')));
    const int wider = std::max(0, static_cast<int>(std::ceil(line)) + 8 + 40 - form.Memo->viewport()->width());
    form.resize(form.width() + wider, form.height() + 100);
    QTRY_COMPARE_WITH_TIMEOUT(form.Memo->geometry(), QRect(428, 8, 529 + wider, 501), kWaitMs);
    QVERIFY(line + 8 <= form.Memo->viewport()->width());

    // Back to the initial size, back to the initial place; smaller never shrinks it further.
    form.resize(991, 504 + form.statusBar()->height());
    QTRY_COMPARE_WITH_TIMEOUT(form.Memo->geometry(), QRect(428, 8, 529, 401), kWaitMs);
    form.resize(600, 300);
    QTRY_COMPARE_WITH_TIMEOUT(form.width(), 600, kWaitMs);
    QCOMPARE(form.Memo->size(), QSize(529, 401));
}

QTEST_MAIN(DesktopWindowTest)
#include "DesktopWindowTest.moc"

#include "pelvaro_main.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTimer>

namespace {

// The layout in pixels at 96 dots per inch (15 twips per pixel); Qt scales it on other screens.
constexpr QSize kClientSize(484, 409);
constexpr QRect kTbGeometry(4, 8, 473, 365);
constexpr QRect kLBlaGeometry(8, 380, 285, 21);
constexpr QRect kEndeGeometry(392, 384, 85, 21);
constexpr int kTickMs = 1000;

bool hasRealDisplay()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

QString shownForm(QString piece)
{
    piece.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    piece.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return piece;
}

} // namespace

Pelvaro_Main::Pelvaro_Main(const QString &databasePath, QWidget *parent)
    : QWidget(parent), ProgramHost(databasePath), kEnde(new QPushButton(this)),
      TB(new QPlainTextEdit(this)), lBla(new QLabel(this)), Timer1(new QTimer(this)),
      m_log(QStringLiteral("Text1"))
{
    setObjectName(QStringLiteral("Pelvaro_Main"));
    setWindowTitle(QStringLiteral("Pelvaro (Access)"));
    setFixedSize(kClientSize);

    TB->setObjectName(QStringLiteral("TB"));
    TB->setGeometry(kTbGeometry);
    TB->setReadOnly(true);
    TB->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    TB->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    TB->setPlainText(m_log);

    lBla->setObjectName(QStringLiteral("lBla"));
    lBla->setGeometry(kLBlaGeometry);
    lBla->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Device names come from the database; a label would otherwise render them as markup.
    lBla->setTextFormat(Qt::PlainText);
    lBla->setText(QStringLiteral("lBla"));

    kEnde->setObjectName(QStringLiteral("kEnde"));
    kEnde->setGeometry(kEndeGeometry);
    kEnde->setText(QStringLiteral("Ende"));

    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kTickMs);
    // A coarse timer may fire up to 5 % early; the next tick is due a full second after a tick
    // ends.
    Timer1->setTimerType(Qt::PreciseTimer);

    kEnde->setFocus();

    connect(kEnde, &QPushButton::clicked, this, &Pelvaro_Main::kEnde_Click);
    connect(Timer1, &QTimer::timeout, this, &Pelvaro_Main::Timer1_Timer);
}

Pelvaro_Main::~Pelvaro_Main() = default;

void Pelvaro_Main::clearLog()
{
    m_log.clear();
    TB->clear();
}

void Pelvaro_Main::appendLog(const QString &piece)
{
    m_log += piece;
    QTextCursor end(TB->document());
    end.movePosition(QTextCursor::End);
    end.insertText(shownForm(piece));
}

QString Pelvaro_Main::logText() const
{
    return m_log;
}

void Pelvaro_Main::setStatus(const QString &caption)
{
    lBla->setText(caption);
}

void Pelvaro_Main::timerOff()
{
    Timer1->stop();
}

void Pelvaro_Main::timerOn()
{
    Timer1->start();
}

void Pelvaro_Main::reportError(const QString &message)
{
    ProgramHost::reportError(message);
    if (hasRealDisplay()) {
        QMessageBox::critical(isVisible() ? this : nullptr, QStringLiteral("Pelvaro (Access)"),
                              message);
    }
}

void Pelvaro_Main::reportNotice(const QString &message)
{
    ProgramHost::reportNotice(message);
    if (hasRealDisplay()) {
        QMessageBox::warning(isVisible() ? this : nullptr, QStringLiteral("Pelvaro (Access)"),
                             message);
    }
}

void Pelvaro_Main::closeEvent(QCloseEvent *event)
{
    event->accept();
    endProgram(0);
}

void Pelvaro_Main::programEnding()
{
    hide();
}

void Pelvaro_Main::kEnde_Click()
{
    endSequence();
}

void Pelvaro_Main::Timer1_Timer()
{
    timerTick();
}

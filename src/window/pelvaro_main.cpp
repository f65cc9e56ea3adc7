#include "pelvaro_main.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>

namespace {

// The layout in pixels at 96 dots per inch (15 twips per pixel); Qt scales it on other screens.
constexpr QSize kClientSize(484, 409);
constexpr QRect kTbGeometry(4, 8, 473, 365);
constexpr QRect kLBlaGeometry(8, 380, 285, 21);
constexpr QRect kEndeGeometry(392, 384, 85, 21);

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
    : QWidget(parent), ProgramHost(databasePath, this), kEnde(new QPushButton(this)),
      TB(new QPlainTextEdit(this)), lBla(new QLabel(this))
{
    setObjectName(QStringLiteral("Pelvaro_Main"));
    setWindowTitle(QStringLiteral("Pelvaro (Access)"));
    setFixedSize(kClientSize);

    TB->setObjectName(QStringLiteral("TB"));
    TB->setGeometry(kTbGeometry);
    TB->setReadOnly(true);
    TB->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    TB->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    TB->setPlainText(logText());

    lBla->setObjectName(QStringLiteral("lBla"));
    lBla->setGeometry(kLBlaGeometry);
    lBla->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Device names come from the database; a label would otherwise render them as markup.
    lBla->setTextFormat(Qt::PlainText);
    lBla->setText(QStringLiteral("lBla"));

    kEnde->setObjectName(QStringLiteral("kEnde"));
    kEnde->setGeometry(kEndeGeometry);
    kEnde->setText(QStringLiteral("Ende"));

    kEnde->setFocus();

    connect(kEnde, &QPushButton::clicked, this, &Pelvaro_Main::kEnde_Click);
}

Pelvaro_Main::~Pelvaro_Main() = default;

void Pelvaro_Main::logCleared()
{
    TB->clear();
}

void Pelvaro_Main::logAppended(const QString &piece)
{
    QTextCursor end(TB->document());
    end.movePosition(QTextCursor::End);
    end.insertText(shownForm(piece));
}

void Pelvaro_Main::setStatus(const QString &caption)
{
    lBla->setText(caption);
}

void Pelvaro_Main::reportError(const QString &message)
{
    ProgramHost::reportError(message);
    if (hasRealDisplay()) {
        QMessageBox::critical(isVisible() ? this : nullptr, QStringLiteral("Pelvaro (Access)"),
                              message);
    }
}

void Pelvaro_Main::reportWarning(const QString &message)
{
    ProgramHost::reportWarning(message);
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

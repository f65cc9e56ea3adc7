#pragma once

#include "program/programhost.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

// The program's only window, "Pelvaro (Access)": the log box TB, the status label lBla, the button
// kEnde and the cycle timer Timer1, in a fixed layout. Its three handlers are the program's only
// reactions: Form_Load (start-up), kEnde_Click and Timer1_Timer.
class Pelvaro_Main : public QWidget, public ProgramHost
{
    Q_OBJECT

public:
    explicit Pelvaro_Main(const QString &databasePath, QWidget *parent = nullptr);
    ~Pelvaro_Main() override;

    void clearLog() override;
    void appendLog(const QString &piece) override;
    QString logText() const override;
    void setStatus(const QString &caption) override;
    void timerOff() override;
    void timerOn() override;

    // stderr, and a message box when there is a real display to show it on.
    void reportError(const QString &message) override;
    void reportNotice(const QString &message) override;

protected:
    // Closing through the title bar ends the program without closing the database first.
    void closeEvent(QCloseEvent *event) override;
    void programEnding() override;

private Q_SLOTS:
    void kEnde_Click();
    void Timer1_Timer();

private:
    // Declared, and so created, in tab order: the button first, so it holds the focus.
    QPushButton *kEnde;
    QPlainTextEdit *TB;
    QLabel *lBla;
    QTimer *Timer1;
    // TB's text exactly as appended, CR LF included; the widget shows it with plain line breaks.
    QString m_log;
};

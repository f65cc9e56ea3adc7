#pragma once

#include "program/programhost.h"

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// The program's only window, "Pelvaro (Access)": the log box TB, the status label lBla and the
// button kEnde in a fixed layout, with the cycle timer Timer1 among its controls. It shows what
// ProgramHost gives it; of the program's three handlers, kEnde_Click is the window's own, while
// Form_Load (start-up, run before the window is shown) and Timer1_Timer are ProgramHost's.
class Pelvaro_Main : public QWidget, public ProgramHost
{
    Q_OBJECT

public:
    explicit Pelvaro_Main(const QString &databasePath, QWidget *parent = nullptr);
    ~Pelvaro_Main() override;

    void setStatus(const QString &caption) override;

    // stderr, and a message box when there is a real display to show it on.
    void reportError(const QString &message) override;
    void reportWarning(const QString &message) override;

protected:
    // Closing through the title bar ends the program without closing the database first.
    void closeEvent(QCloseEvent *event) override;
    void logCleared() override;
    void logAppended(const QString &piece) override;
    void programEnding() override;

private Q_SLOTS:
    void kEnde_Click();

private:
    // Declared, and so created, in tab order: the button first, so it holds the focus.
    QPushButton *kEnde;
    QPlainTextEdit *TB;
    QLabel *lBla;
};

#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

// A small dialog for picking a day some days back. The program creates it at start-up and keeps
// it hidden; nothing shows it or reads its edit box yet.
class TfrmSelectDay : public QDialog {
    Q_OBJECT

  public:
    // The modal result Button2 leaves, the value a cancelled dialog reports.
    static constexpr int kModalResultCancel = 2;

    explicit TfrmSelectDay(QWidget* Parent = nullptr);

    void Button2Click();

    QLineEdit* txtDaysAgo = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
};

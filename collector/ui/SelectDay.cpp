#include "SelectDay.h"

#include <QFont>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

TfrmSelectDay::TfrmSelectDay(QWidget* Parent) : QDialog(Parent) {
    setObjectName(QStringLiteral("frmSelectDay"));
    setWindowTitle(QStringLiteral("frmSelectDay"));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    resize(234, 141);

    txtDaysAgo = new QLineEdit(QStringLiteral("1"), this);
    txtDaysAgo->setObjectName(QStringLiteral("txtDaysAgo"));
    txtDaysAgo->setGeometry(16, 16, 121, 21);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(16, 72, 75, 25);
    // A default button would close the dialog on Enter, which "OK" is not meant to do yet.
    Button1->setAutoDefault(false);

    Button2 = new QPushButton(QStringLiteral("Button2"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(128, 72, 75, 25);
    Button2->setAutoDefault(false);
    connect(Button2, &QPushButton::clicked, this, &TfrmSelectDay::Button2Click);
}

void TfrmSelectDay::Button2Click() { done(kModalResultCancel); }

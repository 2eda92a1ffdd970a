#include "chinese_ui.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

void speakChinese(QApplication &app)
{
    const QLocale chinese(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China);
    QLocale::setDefault(chinese);

    // Without Qt's own catalogue the field's context menu would read Undo, Copy, Paste.
    auto *qtTexts = new QTranslator(&app);
    if (qtTexts->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(qtTexts);
    else
        delete qtTexts;

    // CJK fonts draw some characters differently per language, and outside a Chinese locale
    // fontconfig picks the Japanese forms: the full-width colon then sits in the middle of its
    // cell. Naming the Simplified Chinese faces first takes the choice away from the locale;
    // the desktop's own face stays as the last resort where none of them is installed.
    QFont font = QApplication::font();
    QStringList families{QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC"),
                         QStringLiteral("Source Han Sans CN"),
                         QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Microsoft YaHei")};
    families += font.families();
    font.setFamilies(families);
    QApplication::setFont(font);
}

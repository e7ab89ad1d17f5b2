#pragma once
// What the plug-in code does quietly for the user (a plug-in left out, an
// answer cut short, a plug-in that hung) goes to this logging category.
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcPlugins)

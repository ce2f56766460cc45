#pragma once

// Qt's own diagnostics (an SQL driver's "Unable to free statement", a lookup of an option that is
// not there, ...) are for the people who work on the program, not for those who run it: they say
// nothing the program does not say itself, in its words, where it matters. Installed first thing
// in main(); UPLOADER_QT_DIAGNOSTICS=1 in the environment lets them through to standard error.
namespace QtDiagnostics {

void keepOffStandardError();

} // namespace QtDiagnostics

// PAT/PMT analysis -- compile-only skeleton; the analysers follow.

#include "tsfilter.h"

bool TsFilter::AnalyzeSectionPat(unsigned char*) { return true; }
bool TsFilter::AnalyzeSectionPmt(unsigned char*, int) { return true; }

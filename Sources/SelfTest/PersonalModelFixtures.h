#pragma once
// The personal-model status the suites judge: enabled, with its model and
// vocabulary files, cached for the current locale (en_US) from 6367 of 6438
// corpus entries.
#include "Learning/PersonalModel.h"

inline PersonalModel::Status completePersonalModelStatus() {
    PersonalModel::Status s;
    s.enabled = true;
    s.corpusEntries = 6438;
    s.modelBytes = 14253125;
    s.vocabularyBytes = 298011;
    s.cachedLocale = "en_US";
    s.cachedEntryCount = 6367;
    s.builtAtTimestamp = 1000.0;
    s.currentLocale = "en_US";
    s.nowTimestamp = 2000.0;
    return s;
}

#pragma once
// Retiring the logs of the product's earlier log name, and the files the installer's package
// leaves in the roaming application-data folder. The current corvane.log is never touched.
#include <string>

namespace cv {

// Deletes "<folder>\<base>" and then its generations .0, .1, ... up to the first one that is
// missing or cannot be deleted.
void DeleteLogGenerations(const std::wstring& baseName, const std::wstring& folder);
// The earlier logs in the log folder and in the old per-user log folder, which goes when empty.
void RetireOldLogs(const std::wstring& logFolder);
// The installer's leftovers in the roaming Corvane folder (created when missing).
void DeleteInstallerLeftovers();

}  // namespace cv

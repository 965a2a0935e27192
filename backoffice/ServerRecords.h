#pragma once
// Records and enumerations that the server operations fill or send.

#include <QString>

// The application server's description (request 4).
class TAppServerInfo {
 public:
  int dbType = 0;
  QString dbName;
  QString dbURL;
  QString dbProperties;
  int appServerCount = 0;
  int appServerNo = 0;
  QString workingFolder;  // a folder on the server's file system
  QString separator;

  // Seven labelled lines, each ended by CR LF; dbType is not shown.
  QString getServerInfo() const;
};

struct TReactulizationInfo {
  int reactulization_id = 0;
  int total_doc_count = 0;
  int done_doc_count = 0;
  int last_table_id = 0;
  int last_doc_id = 0;
  QString last_docNo;
  double last_docDt = 0;  // day counts
  double started = 0;
  double finished = 0;
  QString error;
};

struct TMergeInfo {
  int process_id = 0;
  QString status;
  int ref_count = 0;
  int done_ref_count = 0;
  int last_table_id = 0;
  QString last_name;
  double last_docDt = 0;
  double started = 0;
  double finished = 0;
  QString error;
};

struct TAndroidApkInfo {
  QString version;
  QString fileName;
  int fileSize = 0;
};

// Sent as their ordinals.
enum TReactulizationStartDateType { rsdtExplicit = 0, rsdtFirstDoc = 1, rsdtFirstBadDoc = 2 };
enum TReactulizationEndDateType { redtExplicit = 0, redtLastDoc = 1 };
enum TReactulizationDocType { rdtActual = 0, rdtNonActual = 1, rdtAll = 2 };

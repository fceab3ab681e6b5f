#include "platform/messages.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/runtime.h"
#include "platform/seams.h"
#include "platform/trace.h"

namespace {

// Inserts: {n1} numeric insert 1 in signed decimal, {e1} the system's text
// for numeric insert 1 taken as an error number, {t1} {t2} {t3} the texts,
// {q1} text 1 quoted for the platform's shell, so that a remedy can be
// copied whatever the name holds. The remedies name the tools of the
// platform the program runs on.
#ifdef _WIN32
#define ORV_REMEDY_PRIVATE                                                          \
  "icacls {q1} /inheritance:r /grant:r \"%USERNAME%\":F, then icacls {q1} /remove " \
  "NAME for every other name that icacls {q1} still lists, SYSTEM and Administrators "  \
  "excepted"
#define ORV_REMEDY_OWNER "icacls {q1} /setowner \"%USERNAME%\""
#define ORV_REMEDY_GIVE_BACK "icacls {q1} /setowner OWNER, as an administrator"
#else
#define ORV_REMEDY_PRIVATE \
  "chmod 600 {q1} (a key file of root's may also let its group read it: chmod 640)"
#define ORV_REMEDY_OWNER "chown \"$(id -un)\" {q1} as root"
#define ORV_REMEDY_GIVE_BACK "chown OWNER:GROUP {q1}, as root"
#endif

struct CatalogueEntry {
  uint32_t number;
  const char* text;
};

constexpr CatalogueEntry kCatalogue[] = {
    {kMsgBadOption,
     "The argument '{t1}' is not an option of {t2}, or its value is missing or invalid."},
    {kMsgUsage,
     "Usage: orvseal [-f keystore_file] [-o output_file] [-sp 1|2] [-sf initial_key_file]\n"
     "  -f   keystore configuration file to protect (default: the file that VKT_KEYSTORE_CONF\n"
     "       names, else keystore.conf in the .vkt folder of your home directory)\n"
     "  -o   write the protected file here instead of replacing the keystore file\n"
     "  -sp  protection algorithm: 1 for AES-128-GCM, 2 for AES-256-GCM (default 2)\n"
     "  -sf  file that holds the initial key (default: the file that VKT_ORVCRED_KEYFILE\n"
     "       names, else orvcred.keyfile of the keystore file, else the built-in key)"},
    {kMsgCannotReadConfig,
     "The keystore configuration file '{t1}' cannot be read. Check that it exists, is not "
     "empty and that you may read it."},
    {kMsgDefaultKey,
     "No initial key file was named, so the built-in default key is used. Values protected "
     "with it can be read by anyone who has this program: name a key file with -sf, "
     "VKT_ORVCRED_KEYFILE or orvcred.keyfile."},
    {kMsgCannotReadKeyFile,
     "The {t3} key file '{t1}' cannot be used: {t2}. A key file holds the key, 1 to 4096 "
     "bytes (orvcred genkey makes one)."},
    {kMsgKeyFileExposed,
     "The {t2} key file '{t1}' can be read or changed by other users, so it is not used. "
     "Let only its owner have it: " ORV_REMEDY_PRIVATE "."},
    {kMsgKeyFileForeign,
     "The {t2} key file '{t1}' belongs to another user, who could have chosen the key, so "
     "it is not used. Make it yours (or the administrators'): " ORV_REMEDY_OWNER "."},
    {kMsgPbeFailed,
     "The password-based encryption service failed with code {n1}. No credential was "
     "protected by this step."},
    {kMsgCannotOpen, "The file '{t1}' cannot be opened (error {n1}: {e1})."},
    {kMsgProtected, "The credentials in '{t1}' {t2}."},
    {kMsgDuplicateParam,
     "The configuration file '{t1}' holds more than one '{t2}' entry. Keep exactly one."},
    {kMsgMissingParam, "The keystore file '{t1}' holds no '{t2}' entry.{t3}"},
    {kMsgWriteFailed,
     "Writing '{t1}' failed (error {n1}: {e1}). The keystore file is unchanged; the "
     "protected copy is incomplete and was not used."},
    {kMsgReplaceFailed,
     "The keystore file '{t1}' cannot be replaced by its protected copy (error {n1}: {e1}). "
     "It is unchanged."},
    {kMsgPathTooLong,
     "The path '{t1}' is too long: the name of the file written beside it before it is "
     "replaced would not fit in 259 characters. Use a shorter path. Nothing was changed."},
    {kMsgNotText,
     "The keystore file '{t1}' holds a NUL byte in line {n1}, so it is not a text file. It is "
     "unchanged."},
    {kMsgNoMemory, "There is not enough memory to protect the keystore file. It is unchanged."},
    {kMsgLoneCarriageReturn,
     "The keystore file '{t1}' has a carriage return without a line feed in line {n1}, so its "
     "lines cannot be told apart. Save it with Windows (CR LF) or Unix (LF) line ends. It is "
     "unchanged."},
    {kMsgUtf16,
     "The keystore file '{t1}' is saved as UTF-16. Save it as UTF-8 or ANSI and run the "
     "command again. It is unchanged."},
    {kMsgWordsBeforeEquals,
     "Line {n1} of '{t1}' has words between the key '{t2}' and '=', so which of them is the "
     "key cannot be told. Write the line as '{t2} = value'. The keystore file is "
     "unchanged."},
    {kMsgPlaintextBehindFlag,
     "Line {n1} of '{t1}' holds a plaintext '{t2}' after the flag line {t3} that says it is "
     "protected, so it is left in plaintext. To protect it and change no other line, give "
     "its value to orvcred set {t2} (on standard input), which replaces it with its "
     "protected form."},
    {kMsgKeyFileLineUnreadable,
     "The keystore file '{t1}' names its initial key file in orvcred.keyfile, but line {n1} "
     "cannot be read (a line must be key = value, a comment or blank), so the key file cannot "
     "be looked up. Nothing was protected."},
    {kMsgPathDoesNotFit,
     "The path given by {t1} is longer than 260 characters, so it is not used. Nothing was "
     "read or changed."},
    {kMsgNotRegularFile,
     "'{t1}' is not a regular file (it is a folder, a device or a pipe), so it is not read. "
     "Name the file itself."},
    {kMsgCredUsage,
     "Usage: orvcred check  [-f keystore_file]... [-sf initial_key_file | --no-key] [--json]\n"
     "                      [--format text|json|sarif] [--ci] [-r folder]... [--name pattern]\n"
     "                      [--baseline file | --write-baseline file] [FILE]...\n"
     "       orvcred reveal [-f keystore_file] [-sf initial_key_file] KEY...\n"
     "       orvcred set    [-f keystore_file] [-sf initial_key_file] [--check] NAME...\n"
     "       orvcred rekey  [-f keystore_file] [-sf initial_key_file] -nf new_key_file [-sp 1|2]\n"
     "       orvcred genkey FILE | -\n"
     "       orvcred version | --version\n"
     "       orvcred help | --help | -h\n"
     "  check   list every credential line with its state; exit 0 when orvseal would change\n"
     "          nothing, 2 when it would, 3 for a value this key cannot read, 6 for a\n"
     "          plaintext behind a YES flag, 7 for values under the built-in or example\n"
     "          key, 8 for a repeated credential key; --no-key reads no key and checks\n"
     "          what needs none; --ci exits 0 (clean), 1 (findings) or 2 (not checked)\n"
     "  reveal  write the plaintext of each KEY's value to standard output, one a line\n"
     "  set     protect a new value for each NAME, read from standard input one a line (from\n"
     "          a terminal: asked for twice, not shown), into its line or a new one at the\n"
     "          end; NAME: changed or unchanged on standard output; --check writes nothing\n"
     "  rekey   protect every credential again under the new key file (and algorithm)\n"
     "  genkey  create a new initial key file that only you may read (-: write the key to\n"
     "          standard output, for a secret store, and to no file)\n"
     "  version print the version of orvseal and orvcred\n"
     "  -f and -sf as for orvseal; -sp 1 for AES-128-GCM, 2 for AES-256-GCM (default 2)"},
    {kMsgNotReadable,
     "The protected value of '{t2}' in '{t1}' cannot be read with this initial key. Name the "
     "key file it was protected with (-sf, VKT_ORVCRED_KEYFILE or orvcred.keyfile)."},
    {kMsgPlaintextFound,
     "The keystore file '{t1}' holds lines that orvseal would change (the first is line {n1}: "
     "a plaintext credential, a flag line that says one is not protected, or a last line "
     "without a line end). Protect the file with orvseal."},
    {kMsgRekeyed, "The credentials in '{t1}' are protected under the initial key file '{t2}'."},
    {kMsgKeyCreated, "The initial key file '{t1}' was created; only you may read it."},
    {kMsgKeyWritten,
     "A new initial key was written to standard output and to no file. Keep it where only "
     "you may read it."},
    {kMsgFileExists, "The file '{t1}' exists already; it is unchanged and no key was created."},
    {kMsgAllProtected, "Every credential in '{t1}' is protected and readable with this key."},
    {kMsgHardLinks,
     "The keystore file '{t1}' has {n1} names (hard links). Only this name gets the "
     "protected text; the others keep the old text with its plaintext credentials. Remove "
     "the other names."},
    {kMsgForeignLink,
     "The path '{t2}' leads through the link '{t1}', which belongs to another user than you "
     "or the administrators, so it is not followed: that user could point it at any file. "
     "Give the path it leads to, after checking it, or run as that link's owner. Nothing "
     "was changed."},
    {kMsgForeignFile,
     "The file '{t1}' belongs to another user, who could read or replace what is written "
     "there, so it is not written. Remove it, or name a file of your own. Nothing was "
     "changed."},
    {kMsgBadEnvironment,
     "The environment variable {t1} holds text that is not valid Unicode, so it names no "
     "file; it is not taken for unset either. Correct it or remove it. Nothing was read or "
     "changed."},
    {kMsgFileChanged,
     "The name '{t1}' leads to another file than the one that was read, so it is not "
     "replaced: someone changed the folder while the run worked. Nothing was changed; check "
     "who may write that folder, and run the command again."},
    {kMsgOwnerNotKept,
     "'{t1}' now has the {t2} of the account that ran this command, not its {t2} before: "
     "the system would not let this account keep it. If that {t2} needs the file, give it "
     "back (" ORV_REMEDY_GIVE_BACK ")."},
    {kMsgUnreadableLineSkipped,
     "Line {n1} of '{t1}' cannot be read (a line must be key = value, a comment or blank), "
     "so no reader takes anything from it; the initial key file that orvcred.keyfile names "
     "is used. Correct or remove the line."},
    {kMsgTraceNotRegular,
     "The trace file '{t1}' that VKT_TRACE names is not a regular file of yours or root's "
     "(it is another user's, a link that is not followed, a pipe, a device or a folder), so "
     "nothing is traced. Name a regular file of your own."},
    {kMsgMisplacedByteOrderMark,
     "The keystore file '{t1}' has a byte order mark at the start of line {n1}, as if two "
     "files were joined, so that line's key cannot be told. Remove those three bytes. It is "
     "unchanged."},
    {kMsgRepeatedCredential,
     "The keystore file '{t1}' gives the credential key '{t2}' more than once (line {n1} is "
     "one), so readers refuse it. Keep one line of each key."},
    {kMsgDefaultKeyValues,
     "The values in '{t1}' are protected with the built-in key, which anyone who has this "
     "program holds. Move them to a key file of your own: orvcred genkey, then orvcred rekey "
     "-nf."},
    {kMsgNothingToDo,
     "The credentials in '{t1}' are protected under the key file '{t2}' and this algorithm "
     "already; the file was left as it is."},
    {kMsgIncomplete, "The command line lacks {t1}."},
    {kMsgBadBaseline,
     "Line {n1} of the baseline '{t1}' is not FILE, KEY and STATE separated by tabs (as "
     "orvcred check --write-baseline writes them). Nothing was checked."},
    {kMsgExampleKeyValues,
     "The values in '{t1}' are protected with the example key that ships with orvseal, which "
     "anyone can read. Make a key of your own with orvcred genkey and move the values to it "
     "with orvcred rekey."},
    {kMsgNotCredentialKey,
     "'{t1}' is not a credential key, so orvcred set does not take it: its value would stand "
     "in plain text. Credential keys begin with crl.ldap.pass, pem.password or "
     "pkcs11.token_pin. Nothing was changed."},
    {kMsgNameTwice,
     "'{t2}' stands on line {t3} and on line {n1} of '{t1}', so orvcred set cannot tell "
     "which one to replace. Remove one of them and run it again. Nothing was changed."},
    {kMsgValueRefused, "The value for '{t1}' {t2}. Nothing was changed."},
    {kMsgWouldHoldBack,
     "Setting the values would leave the plaintext '{t2}' of line {n1} of '{t1}' behind a "
     "flag line that says YES, where orvseal no longer protects it. Protect the file with "
     "orvseal first, or set '{t2}' too. Nothing was changed."},
    {kMsgKeyFileNameUnwritable,
     "The new key file name '{t1}' cannot be written into orvcred.keyfile of '{t2}': it "
     "would name another file when read back (it holds a line end, a '#' after a blank or "
     "blanks at its ends, is longer than 260 characters, or is relative while the keystore "
     "lies in another folder: relative names there are taken from the keystore's folder). "
     "Give another name or the full path. Nothing was changed."},
    {kMsgFileInUse,
     "The keystore file '{t1}' is in use by another process, so it cannot be replaced. It is "
     "unchanged. Close the program that holds it open and run the command again."},
};

const char* catalogueText(uint32_t number) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (entry.number == number) return entry.text;
  }
  return nullptr;
}

char severityLetter(uint32_t number) {
  switch (number >> 28) {
    case 0: return 'I';
    case 1: return 'W';
    case 2: return 'E';
    default: return 'S';
  }
}

// Control characters as the trace shows them, so an insert stays in its line.
void appendEscaped(std::string* out, const char* text) {
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\n') {
      *out += "\\n";
    } else if (c == '\r') {
      *out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      *out += escaped;
    } else {
      *out += *p;
    }
  }
}

// A name as the platform's shell reads it back as one word.
void appendQuoted(std::string* out, const char* text) {
#ifdef _WIN32
  // A Windows file name holds no '"', so double quotes enclose any of them.
  *out += '"';
  appendEscaped(out, text);
  *out += '"';
#else
  // Within single quotes only a single quote needs care: close, escape, reopen.
  *out += '\'';
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    char one[2] = {*p, '\0'};
    if (*p == '\'') {
      *out += "'\\''";
    } else {
      appendEscaped(out, one);
    }
  }
  *out += '\'';
#endif
}

bool messagesOnStderr = false;

bool recordUsable(const MessageRecord* record) {
  return record != nullptr && std::memcmp(record->eyeCatcher, "XMSA", 4) == 0;
}

std::string composeMessage(uint32_t number, const MessageRecord* record) {
  char identifier[16];
  std::snprintf(identifier, sizeof identifier, "ORV%04X%c: ",
                static_cast<unsigned>(number & 0xFFFFu), severityLetter(number));
  std::string out = identifier;
  const char* text = catalogueText(number);
  if (text == nullptr) {
    char unknown[96];
    std::snprintf(unknown, sizeof unknown,
                  "Message 0x%08X has no text in this program's catalogue.",
                  static_cast<unsigned>(number));
    return out + unknown;
  }
  bool usable = recordUsable(record);
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '{' && p[1] != '\0' && p[2] != '\0' && p[3] == '}') {
      char kind = p[1];
      char index = p[2];
      const char* insert = nullptr;
      char numeric[64];
      if (kind == 't' && index >= '1' && index <= '3') {
        insert = !usable ? nullptr
                 : index == '1' ? record->textInsert1
                 : index == '2' ? record->textInsert2
                                : record->textInsert3;
        appendEscaped(&out, insert);
        p += 3;
        continue;
      }
      if (kind == 'q' && index == '1') {
        appendQuoted(&out, usable ? record->textInsert1 : nullptr);
        p += 3;
        continue;
      }
      if (kind == 'n' && index == '1') {
        int64_t value = usable ? static_cast<int64_t>(record->numericInsert1) : 0;
        std::snprintf(numeric, sizeof numeric, "%" PRId64, value);
        out += numeric;
        p += 3;
        continue;
      }
      if (kind == 'e' && index == '1') {
        int64_t value = usable ? static_cast<int64_t>(record->numericInsert1) : 0;
        char errorText[256];
        if (osStrerror(errorText, sizeof errorText, static_cast<int32_t>(value)) != 0) {
          std::snprintf(errorText, sizeof errorText, "unknown error");
        }
        out += errorText;
        p += 3;
        continue;
      }
    }
    out += *p;
  }
  return out;
}

}  // namespace

MessageRecord messageRecord() {
  MessageRecord record{};
  std::memcpy(record.eyeCatcher, "XMSA", 4);
  return record;
}

MessageRecord textMessage(const char* text1, const char* text2) {
  MessageRecord record = messageRecord();
  record.textInsert1 = text1;
  record.textInsert2 = text2;
  return record;
}

MessageRecord numberMessage(int64_t number, const char* text1) {
  MessageRecord record = textMessage(text1);
  record.numericInsert1 = static_cast<uint64_t>(number);
  return record;
}

int32_t formatMessage(uint32_t number, const MessageRecord* record, char* buffer, int32_t size) {
  std::string text = composeMessage(number, record);
  if (buffer != nullptr && size > 0) std::snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
  return static_cast<int32_t>(text.size());
}

void svcDisplayMessage(SubpoolHandle, int32_t, int32_t, int32_t, uint32_t number,
                       const MessageRecord* record, uint32_t, const char* sourceName,
                       int32_t sourceLine, int32_t) {
  std::string text = composeMessage(number, record);
  if (platformSeams.messageShown != nullptr) platformSeams.messageShown(number, text.c_str());
  std::string traced = text + " [" + (sourceName != nullptr ? sourceName : "?") + ":" +
                       std::to_string(sourceLine) + "]";
  traceServiceRecord("MESSAGE", traced.c_str());
  if (platformSeams.consoleQuiet) return;
  FILE* stream = (number >> 28) == 0 && !messagesOnStderr ? stdout : stderr;
  osWriteLine(stream, text.c_str());
}

void svcSetMessagesOnStderr(bool onStderr) { messagesOnStderr = onStderr; }

// The simulator's command line. Every option is listed, with its default,
// by --help.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

enum class QopMode { Auth, AuthInt, List, None };
enum class AlgorithmMode { Quoted, Unquoted, Absent, Md5Sess };
enum class WrongPasswordPolicy { SameNonce, NewNonce };
enum class RestartAnswer { StatusPage, Error, NoLabels, NoVersion };

struct Options {
    // Where the device lives.
    std::string address = "127.0.0.2";
    uint32_t addressValue = 0x7f000002;  // address, parsed (host order)
    uint16_t httpPort = 80;

    // What its status page reports.
    std::string productName = "ULX-7400";
    std::string mac = "02:00:5E:10:74:00";
    std::string softwareVersion = "3.0.2(GWe)";
    std::string hardwareVersion = "2.0.1";
    std::string serial = "ULX74000A1B2";

    // Digest protection; none while the password is empty.
    std::string password;
    std::string user = "admin";
    std::string realm = "ULX Admin";
    std::string opaque;
    QopMode qop = QopMode::Auth;
    AlgorithmMode algorithm = AlgorithmMode::Quoted;
    WrongPasswordPolicy wrongPasswordPolicy = WrongPasswordPolicy::SameNonce;

    // The upgrade.
    long idleDelayMs = 500;
    long restartMs = 3000;
    long dallyMs = 1000;
    std::string imageOut;

    // Fault switches (0 = off for the numbered ones).
    bool wrongVersion = false;
    bool neverAckOack = false;
    long stopAckAt = 0;
    long dropAckEvery = 0;
    bool duplicateAcks = false;
    bool foreignPortAck = false;
    long repeatRrqAt = 0;
    bool noAnswer = false;
    long slowAnswerMs = 0;
    long slowAnswers = 0;
    bool neverClose = false;
    bool silentAfterUpgrade = false;
    long oldPageMs = 0;         // after the transfer, the old page this long before the restart (0 = off)
    std::string rrqFrom;        // the read request's source address (empty: the device's own)
    uint32_t rrqFromValue = 0;  // rrqFrom, parsed (host order)
    bool rrqNewPort = false;    // the first OACK is lost: the read request again from a new port

    // Fault switches for the utility's web client: how an answer arrives,
    // a web server that is no ULX, unusual challenges.
    long dripAnswerMs = 0;   // each answer one byte at a time, this far apart (0 = off)
    long foreignStatus = 0;  // every request answered with this status and a page without labels (0 = off)
    bool basicChallengeFirst = false;
    bool crlfInNonce = false;

    // How the web server speaks: the HTTP version of its answers, chunked
    // bodies, keep-alive, header names in lower case; nonce length; a
    // SHA-256 Digest challenge before the MD5 one.
    bool http10 = false;
    long chunkBytes = 0;   // chunked answers, chunks of this many bytes (0 = Content-Length)
    long keepAliveMs = 0;  // keep the connection this long after an answer (0 = close at once)
    bool lowercaseHeaders = false;
    long nonceChars = 0;  // nonces of this many characters (0 = 32)
    bool sha256First = false;

    // After the restart: what a status page request gets, and for how many
    // requests (0: every one); a third host that asks for the image first.
    RestartAnswer restartAnswer = RestartAnswer::StatusPage;
    long restartAnswers = 0;
    std::string thief;
    uint32_t thiefAddress = 0;  // thief, parsed (host order)

    // Text encoding of the status page: the field texts above are given in
    // UTF-8 and sent in Windows-1252 (characters it lacks become '?').
    bool windows1252Fields = false;

    // Ending.
    bool exitAfterUpgrade = false;
    long exitAfterMs = 0;

    std::string logPath;
};

enum class ParseResult { Run, Help, Version, Error };

// Fills options from argv ("--name value" or "--name=value"); on Error the
// reason is in error.
ParseResult parseOptions(int argc, char** argv, Options& options, std::string& error);
std::string helpText();

}  // namespace sim

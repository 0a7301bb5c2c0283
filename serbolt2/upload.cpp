// File upload: the whole file is read into one static buffer, then sent in one
// write after the device has said it is ready.
#include "upload.h"

#include "com.h"

#include <cstdio>
#include <cstring>

static const size_t kUploadBufferSize = 0xa00000;  // 10,485,760 bytes
static unsigned char dataBuffer[kUploadBufferSize];

static const char kFilecopyCommand[] = "filecopy\n";
static const char kReadyReply[] = "Ko:Ready";
static const char kDataReceivedReply[] = "Ko:Data received";
static const double kReadySeconds = 2.0;
static const double kDataReceivedSeconds = 20.0;

static const size_t kSizeLineChars = 32;
static const size_t kReplyBufferChars = 256;  // 255 characters and a terminator

int comWaitForTime(const char *reply, double seconds)
{
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG limitMs = (ULONGLONG)(seconds * 1000);
    char received[kReplyBufferChars];
    std::memset(received, 0, sizeof received);
    size_t count = 0;

    for (;;) {
        unsigned char byte;
        if (comReadByte(&byte)) {
            received[count++] = (char)byte;
            received[count] = '\0';
            if (std::strstr(received, reply) != nullptr) {
                printf("%s\n", received);
                return 1;
            }
            if (count >= kReplyBufferChars - 1) {
                fprintf(stderr, "Buffer overflow while waiting for string\n");
                return 0;
            }
        }
        if (GetTickCount64() - start > limitMs) {
            fprintf(stderr, "Timeout waiting for string '%s'\n", reply);
            return 0;
        }
    }
}

int comWaitFor(const char *reply)
{
    return comWaitForTime(reply, kReadySeconds);
}

// Reads the whole file into dataBuffer. The size, or 0 after printing why the
// file cannot be sent; nothing has gone to the device then.
static size_t readWholeFile(const char *filename)
{
    FILE *file = nullptr;
    if (fopen_s(&file, filename, "rb") != 0 || file == nullptr) {
        fprintf(stderr, "Error opening file: %s\n", filename);
        return 0;
    }
    size_t size = fread(dataBuffer, 1, kUploadBufferSize, file);
    // One byte past the buffer means the file would be cut: refuse it rather
    // than send a shortened copy as if it were the file.
    bool tooLarge = size == kUploadBufferSize && fgetc(file) != EOF;
    fclose(file);

    if (tooLarge) {
        fprintf(stderr, "File too large (more than 10485760 bytes): %s\n", filename);
        return 0;
    }
    if (size == 0)
        fprintf(stderr, "Error reading file or file is empty\n");
    return size;
}

int uploadFile(const char *filename, const char *outpath)
{
    // A line feed inside the path would end the destination line early and
    // shift the frame; the device would take path bytes as payload.
    if (std::strchr(outpath, '\n') != nullptr) {
        fprintf(stderr, "Invalid destination path\n");
        return 1;
    }

    size_t size = readWholeFile(filename);
    if (size == 0)
        return 1;
    printf("File size: %zu bytes\n", size);

    comWriteSlow(kFilecopyCommand, std::strlen(kFilecopyCommand));
    if (!comWaitFor(kReadyReply))
        return 1;

    // Size line, destination path, its line feed, payload: back to back.
    char sizeLine[kSizeLineChars];
    snprintf(sizeLine, sizeof sizeLine, "%zu\n", size);
    comWriteString(sizeLine);
    comWriteString(outpath);
    comWriteString("\n");
    comWrite(dataBuffer, size);

    if (!comWaitForTime(kDataReceivedReply, kDataReceivedSeconds))
        return 1;
    printf("Data sent successfully.\n");
    return 0;
}

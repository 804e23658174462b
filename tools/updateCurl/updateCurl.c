/*
 * updateCurl.exe URL
 *
 * Fetches URL with a plain GET (http and https only, at most 5 redirects) and
 * writes the response body, unchanged, to standard output. Nothing is written
 * to standard output unless the whole transfer succeeded with a 2xx status,
 * so a caller never mistakes an error page or a truncated body for content.
 * Gives up by itself before the updater's own 10 second bound.
 *
 * Exit codes: 0 success, 1 any failure (reason on one line of standard
 * error), 2 wrong usage.
 */
#include <curl/curl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#define TOTAL_TIMEOUT_MS 8500L
#define CONNECT_TIMEOUT_MS 5000L
#define MAX_REDIRECTS 5L
#define MAX_BODY_BYTES ((size_t)64 * 1024 * 1024)

struct Body
{
    char* data;
    size_t size;
    size_t capacity;
    int tooLarge;
    int outOfMemory;
};

static size_t collect(char* ptr, size_t size, size_t nmemb, void* userdata)
{
    struct Body* body = (struct Body*)userdata;
    size_t n = size * nmemb;

    if (n > MAX_BODY_BYTES - body->size) {
        body->tooLarge = 1;
        return 0;
    }
    if (body->size + n > body->capacity) {
        size_t capacity = body->capacity ? body->capacity : 64 * 1024;
        char* grown;
        while (capacity < body->size + n)
            capacity *= 2;
        if (capacity > MAX_BODY_BYTES)
            capacity = MAX_BODY_BYTES;
        grown = (char*)realloc(body->data, capacity);
        if (!grown) {
            body->outOfMemory = 1;
            return 0;
        }
        body->data = grown;
        body->capacity = capacity;
    }
    if (n > 0)
        memcpy(body->data + body->size, ptr, n);
    body->size += n;
    return n;
}

/* Keeps the reason to a single line whatever libcurl put in it. */
static void fail(const char* reason)
{
    char line[CURL_ERROR_SIZE + 64];
    size_t i;
    snprintf(line, sizeof line, "%s", reason);
    for (i = 0; line[i]; ++i) {
        if (line[i] == '\n' || line[i] == '\r')
            line[i] = ' ';
    }
    fprintf(stderr, "updateCurl: %s\n", line);
    fflush(stderr);
}

static int fetch(CURL* curl, const char* url, struct Body* body)
{
    char errorBuffer[CURL_ERROR_SIZE];
    char reason[CURL_ERROR_SIZE + 64];
    CURLcode rc;
    long status = 0;

    errorBuffer[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, (long)(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, (long)(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, TOTAL_TIMEOUT_MS);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    /* Stops at the status line of an error instead of downloading its page. */
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "updateCurl/1.0");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);

    rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) {
        if (body->tooLarge)
            snprintf(reason, sizeof reason, "response larger than %lu bytes",
                (unsigned long)MAX_BODY_BYTES);
        else if (body->outOfMemory)
            snprintf(reason, sizeof reason, "out of memory");
        else
            snprintf(
                reason, sizeof reason, "%s", errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc));
        fail(reason);
        return 1;
    }

    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    /* A 3xx that could not be followed is not the requested content either. */
    if (status < 200 || status > 299) {
        snprintf(reason, sizeof reason, "HTTP status %ld", status);
        fail(reason);
        return 1;
    }
    return 0;
}

static int writeBody(const struct Body* body)
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (body->size > 0 && fwrite(body->data, 1, body->size, stdout) != body->size) {
        fail("cannot write to standard output");
        return 1;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fail("cannot write to standard output");
        return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    struct Body body = {NULL, 0, 0, 0, 0};
    CURL* curl;
    int result;

    if (argc != 2) {
        fprintf(stderr, "usage: updateCurl.exe URL\n");
        return 2;
    }

    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        fail("cannot initialise libcurl");
        return 1;
    }
    curl = curl_easy_init();
    if (!curl) {
        fail("cannot initialise libcurl");
        curl_global_cleanup();
        return 1;
    }

    result = fetch(curl, argv[1], &body);
    curl_easy_cleanup(curl);
    curl_global_cleanup();

    if (result == 0)
        result = writeBody(&body);
    free(body.data);
    return result;
}

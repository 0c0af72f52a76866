#include "tests/support/ScriptedHttpServer.h"

#include <filesystem>

#include "platform/Files.h"

namespace veldmoor::test {
namespace {

// argv: port mode file log changed-file versioned
constexpr const char* kServerScript = R"PY(
import gzip, re, socket, socketserver, sys, threading, time
port, mode, path, log_path, changed_path, versioned = sys.argv[1:7]
files = [open(path, 'rb').read(), open(changed_path, 'rb').read() if changed_path else b'']
state = {'changed': False}
lock = threading.Lock()

def log(line):
    with lock, open(log_path, 'a') as f:
        f.write(line + '\n')

def chunked(body):
    out, sizes, i, k = [], [1, 4093, 16384, 70000, 3], 0, 0
    while i < len(body):
        n = sizes[k % len(sizes)]; k += 1
        ext = ';note=x' if k % 2 else ''
        out.append(b'%x%s\r\n' % (len(body[i:i + n]), ext.encode()) + body[i:i + n] + b'\r\n')
        i += n
    out.append(b'0\r\nTrailer-Note: end\r\n\r\n')
    return b''.join(out)

class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        stream = self.request.makefile('rb')
        while True:
            line = stream.readline()
            if not line:
                return
            headers = {}
            while True:
                h = stream.readline()
                if not h or h in (b'\r\n', b'\n'):
                    break
                name, _, value = h.decode('latin-1').partition(':')
                headers[name.strip().lower()] = value.strip()
            rng, if_range = headers.get('range', '-'), headers.get('if-range', '-')
            with lock:
                if mode == 'changes' and if_range != '-':
                    state['changed'] = True
                current = 1 if state['changed'] else 0
            data = files[current]
            if mode == 'redirect-file':
                self.request.sendall(b'HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0\r\n\r\n')
                log('%s|%s|302|0' % (rng, if_range))
                continue
            if mode == 'trickles':
                m = re.match(r'bytes=(\d+)-', rng)
                start = int(m.group(1)) if m else 0
                if start:
                    self.request.sendall(b'HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\n'
                                         b'Content-Length: %d\r\n\r\n' % (start, len(data) - 1, len(data), len(data) - start))
                else:
                    self.request.sendall(b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n' % len(data))
                log('%s|%s|%d|trickle' % (rng, if_range, 206 if start else 200))
                try:
                    for byte in data[start:]:
                        time.sleep(0.25)
                        self.request.sendall(bytes([byte]))
                except OSError:
                    pass
                return
            etag = '"two"' if current else '"one"'
            m = re.match(r'bytes=(\d+)-(\d*)$', rng)
            start = int(m.group(1)) if m else 0
            end = int(m.group(2)) if m and m.group(2) else len(data) - 1
            if mode == 'ignores-end':
                end = len(data) - 1
            end = min(end, len(data) - 1)
            partial = m is not None and mode not in ('chunked-unknown', 'gzip')
            if mode == 'changes' and if_range != '-' and if_range != etag:
                partial = False
            if not partial:
                start, end = 0, len(data) - 1
            if partial and start >= len(data):
                claimed = len(data) + 1000 if mode.startswith('claims-larger') else len(data)
                self.request.sendall(b'HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */%d\r\n'
                                     b'Content-Length: 0\r\n\r\n' % claimed)
                log('%s|%s|416|0' % (rng, if_range))
                continue
            body = data[start:end + 1]
            head = ['HTTP/1.1 %s' % ('206 Partial Content' if partial else '200 OK')]
            if partial:
                claimed = len(data) + 1000 if mode.startswith('claims-larger') else len(data)
                head.append('Content-Range: bytes %d-%d/%d' % (start, end, claimed))
            if mode == 'gzip':
                body = gzip.compress(body)
                head.append('Content-Encoding: gzip')
            if mode in ('chunked-unknown', 'chunked-ranges', 'claims-larger-chunked'):
                head.append('Transfer-Encoding: chunked')
                body = chunked(body)
            else:
                head.append('Content-Length: %d' % len(body))
            if mode == 'changes' and (current == 0 or versioned == '1'):
                head.append('ETag: ' + etag)
            status = 206 if partial else 200
            sent = 0
            try:
                self.request.sendall(('\r\n'.join(head) + '\r\n\r\n').encode())
                view = memoryview(body)
                while sent < len(body):
                    sent += self.request.send(view[sent:sent + 65536])
            except OSError:
                log('%s|%s|%d|%d' % (rng, if_range, status, sent))
                return
            log('%s|%s|%d|%d' % (rng, if_range, status, sent))
            if mode == 'closes-after-answer':
                return

class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True

Server(('127.0.0.1', int(port)), Handler).serve_forever()
)PY";

const char* ModeName(ScriptedHttpMode mode) {
    switch (mode) {
        case ScriptedHttpMode::kIgnoresRangeEnd:
            return "ignores-end";
        case ScriptedHttpMode::kChunkedUnknownSize:
            return "chunked-unknown";
        case ScriptedHttpMode::kChunkedRanges:
            return "chunked-ranges";
        case ScriptedHttpMode::kChangesOnIfRange:
            return "changes";
        case ScriptedHttpMode::kClosesAfterAnswer:
            return "closes-after-answer";
        case ScriptedHttpMode::kClaimsLargerSize:
            return "claims-larger";
        case ScriptedHttpMode::kClaimsLargerSizeChunked:
            return "claims-larger-chunked";
        case ScriptedHttpMode::kTrickles:
            return "trickles";
        case ScriptedHttpMode::kGzipEncoded:
            return "gzip";
        case ScriptedHttpMode::kRedirectsToFile:
            return "redirect-file";
    }
    return "";
}

}  // namespace

int ScriptedHttpServer::Start(ScriptedHttpMode mode, const std::string& file, const std::string& workFolder,
                              const std::string& changedFile, bool versioned) {
    if (!ProgramExists("python3")) return 0;
    std::filesystem::create_directories(workFolder);
    workFolder_ = workFolder;
    port_ = StartListeningOnFreePort(
        process_,
        [&](int port) {
            return std::vector<std::string>{"python3", "-c", kServerScript, std::to_string(port), ModeName(mode), file,
                                            workFolder + "/requests.log", changedFile, versioned ? "1" : "0"};
        },
        workFolder + "/output.log");
    return port_;
}

std::string ScriptedHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string ScriptedHttpServer::Log() const {
    return platform::ReadWholeFile(workFolder_ + "/requests.log").value_or("");
}

}  // namespace veldmoor::test

#include <sys/stat.h>

#include <boost/asio/post.hpp>
#include <cctype>
#include <fstream>
#include <sstream>

#include "Endpoints.h"
#include "ServerLog.h"

namespace vserver {

namespace {

// One plain file name: no folders, nothing hidden.
bool safeName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name.front() == '.') return false;
    for (const char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
              c == '+' || c == '~'))
            return false;
    return true;
}

std::string contentType(const std::string& name) {
    auto endsWith = [&](const char* ext) {
        const std::string e(ext);
        return name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0;
    };
    if (endsWith(".xml")) return "application/rss+xml; charset=utf-8";
    if (endsWith(".deb")) return "application/vnd.debian.binary-package";
    return "application/octet-stream";
}

}  // namespace

void registerUpdates(HttpServer& server, const std::string& folder) {
    if (folder.empty()) return;
    auto& workers = server.workers();
    server.publicRoute(
        http::verb::get, "updates",
        [folder, &workers](const Request& req, const Caller&, Responder respond) {
            std::string target(req.target().substr(0, req.target().find('?')));
            const std::string name = target.substr(target.rfind('/') + 1);
            const std::string prefix = "/updates/";
            if (target.compare(0, prefix.size(), prefix) != 0 ||
                target.size() != prefix.size() + name.size() || !safeName(name))
                return respond(HttpServer::text(404, "no such file\n"));
            // Files are read off the network threads.
            boost::asio::post(workers, [folder, name, respond = std::move(respond)] {
                const std::string path = folder + "/" + name;
                struct stat st {};
                if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                    return respond(HttpServer::text(404, "no such file\n"));
                std::ifstream in(path, std::ios::binary);
                std::ostringstream body;
                body << in.rdbuf();
                if (!in.good() && !in.eof()) {
                    log("updates: couldn't read " + path);
                    return respond(HttpServer::text(500, "couldn't read the file\n"));
                }
                Response res = HttpServer::text(200, body.str(), contentType(name));
                res.set(http::field::cache_control, "no-cache");
                respond(std::move(res));
            });
        });
}

}  // namespace vserver

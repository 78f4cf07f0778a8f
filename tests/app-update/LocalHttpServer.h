#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace zorvane::testing {

// A minimal HTTP/1.1 server on 127.0.0.1 for the update checker's tests: one canned response
// per path, every request recorded. Each connection serves one request and is closed.
class LocalHttpServer {
public:
    enum class Mode {
        Respond, // status, headers and body, then close
        Hang,    // read the request and never answer
        Stream,  // status line and headers, then body bytes forever, until the client leaves
    };
    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        Mode mode = Mode::Respond;
        bool sendContentLength = true;
    };
    struct Request {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // names lower-cased
    };

    LocalHttpServer() {
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { accept(); });
        server_.listen(QHostAddress::LocalHost, 0);
    }

    bool isListening() const { return server_.isListening(); }
    quint16 port() const { return server_.serverPort(); }
    QUrl url(const QString& path, const QString& host = QStringLiteral("127.0.0.1")) const {
        return QUrl(QStringLiteral("http://%1:%2%3").arg(host).arg(port()).arg(path));
    }

    void setResponse(const QByteArray& path, Response response) { responses_[path] = response; }
    const QList<Request>& requests() const { return requests_; }
    int streamClientsGone() const { return streamClientsGone_; }

private:
    void accept() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                *buffer += socket->readAll();
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end >= 0 && !socket->property("handled").toBool()) {
                    socket->setProperty("handled", true);
                    handle(socket, buffer->left(end));
                }
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void handle(QTcpSocket* socket, const QByteArray& head) {
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request request{requestLine.value(0), requestLine.value(1), {}};
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0) {
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
            }
        }
        requests_.append(request);
        const Response response = responses_.value(request.path, Response{404, "missing"});
        if (response.mode == Mode::Hang) {
            return;
        }
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Canned\r\n";
        for (const auto& [name, value] : response.headers) {
            out += name + ": " + value + "\r\n";
        }
        if (response.mode == Mode::Respond && response.sendContentLength) {
            out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        }
        out += "Connection: close\r\n\r\n";
        socket->write(out);
        if (response.mode == Mode::Respond) {
            socket->write(response.body);
            socket->disconnectFromHost();
            return;
        }
        auto* timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket,
                         [socket] { socket->write(QByteArray(8192, 'x')); });
        QObject::connect(socket, &QTcpSocket::disconnected, [this] { ++streamClientsGone_; });
        timer->start(5);
    }

    QMap<QByteArray, Response> responses_;
    QList<Request> requests_;
    int streamClientsGone_ = 0;
    QTcpServer server_; // last, so its sockets go before the state they report to
};

} // namespace zorvane::testing

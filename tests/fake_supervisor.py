#!/usr/bin/env python3
"""A stand-in for the Supervisor's API for the app's start program: GET /services/mqtt answers
with the service given on the command line, to the right token only (401 otherwise, as the
Supervisor does), or with text that is not JSON. Listens on a free port of 127.0.0.1, writes
that port to PORT_FILE and one line per request ("PATH AUTHORIZATION-OK|AUTHORIZATION-BAD") to
LOG_FILE. Usage: fake_supervisor.py PORT_FILE LOG_FILE TOKEN (SERVICE_JSON | --not-json)
"""
import http.server
import json
import os
import sys

port_file, log_file, token, service = sys.argv[1:5]


class Supervisor(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        authorized = self.headers.get("Authorization") == "Bearer " + token
        with open(log_file, "a") as log:
            log.write(f"{self.path} {'AUTHORIZATION-OK' if authorized else 'AUTHORIZATION-BAD'}\n")
        if service == "--not-json":
            self.answer(200, b"<html>502 Bad Gateway</html>", "text/html")
        elif not authorized:
            self.answer(401, json.dumps({"result": "error", "message": "Unauthorized"}).encode())
        elif self.path != "/services/mqtt":
            self.answer(404, json.dumps({"result": "error", "message": "Not found"}).encode())
        else:
            body = {"result": "ok", "data": json.loads(service)}
            self.answer(200, json.dumps(body).encode())

    def answer(self, status, body, kind="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Supervisor)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".new", port_file)
server.serve_forever()

#!/usr/bin/env python3
"""What nginx with tools/nginx/zarvo-updates.conf answers, seen from an HTTPS client.

    test_nginx.py PORT SAMPLES_DIR CA_PEM

SAMPLES_DIR is the folder of sample_games.py; nginx serves its "published" folder on
https://localhost:PORT (nginx_ctl.py up). Checks what the launcher relies on: 200 with the
file's bytes and Content-Length, the query ignored, no compression even when asked for, no
redirects, no-cache on the documents, 404 for folders and anything else, GET only.
"""
import email.utils
import hashlib
import http.client
import json
import os
import ssl
import sys
import unittest
import urllib.parse

PORT = SAMPLES = CA = None


class Nginx(unittest.TestCase):
    def request(self, method, path, headers=None):
        context = ssl.create_default_context(cafile=CA)
        conn = http.client.HTTPSConnection("localhost", PORT, context=context, timeout=10)
        try:
            conn.request(method, path, headers=headers or {})
            response = conn.getresponse()
            return response, response.read()
        finally:
            conn.close()

    def published(self, *parts):
        with open(os.path.join(SAMPLES, "published", *parts), "rb") as f:
            return f.read()

    def test_documents_come_whole_with_their_length_and_no_cache(self):
        for name in ("manifest_full.json", "manifest_light.json", "displayinfo.json"):
            with self.subTest(name=name):
                response, body = self.request("GET", f"/{name}?nocache=18446744073709551615",
                                              {"User-Agent": "zarvo-nginx-test"})
                self.assertEqual(response.status, 200)
                self.assertEqual(body, self.published(name))
                self.assertEqual(response.getheader("Content-Length"), str(len(body)))
                self.assertEqual(response.getheader("Cache-Control"), "no-cache")
                self.assertTrue(response.getheader("Content-Type").startswith("application/json"))

    def test_the_head_may_be_cached_for_a_minute_and_the_records_are_not_served(self):
        response, body = self.request("GET", "/heads/live.json")
        self.assertEqual((response.status, body), (200, self.published("heads", "live.json")))
        self.assertEqual(response.getheader("Cache-Control"), "public, max-age=60")
        self.assertTrue(response.getheader("Content-Type").startswith("application/json"))
        for path in ("/releases/live/1.json", "/channels/", "/heads/"):
            with self.subTest(path=path):
                self.assertEqual(self.request("GET", path)[0].status, 404)

    def test_every_published_file_comes_under_its_escaped_path_uncompressed(self):
        rows = json.loads(self.published("manifest_full.json"))["files"]
        for row in rows:
            with self.subTest(path=row["path"]):
                path = "/update/" + urllib.parse.quote(row["path"].encode("utf-8"), safe="/")
                response, body = self.request("GET", path + "?nocache=42",
                                              {"Accept-Encoding": "gzip, deflate, br"})
                self.assertEqual(response.status, 200)
                self.assertEqual(response.getheader("Content-Length"), str(row["size"]))
                self.assertIsNone(response.getheader("Content-Encoding"))
                self.assertIsNone(response.getheader("Transfer-Encoding"))
                self.assertEqual(len(body), row["size"])
                self.assertEqual(body, self.published("update", *row["path"].split("/")))
        response, body = self.request("HEAD", "/update/data/pak0.pak")
        self.assertEqual(response.status, 200)
        self.assertEqual(body, b"")
        self.assertEqual(response.getheader("Content-Length"), str(3 * 1024 * 1024 + 17))

    def test_byte_ranges_of_files_and_the_block_indexes(self):
        pak = self.published("update", "data", "pak0.pak")
        response, body = self.request("GET", "/update/data/pak0.pak?nocache=7",
                                      {"Range": "bytes=1000-1999"})
        self.assertEqual(response.status, 206)
        self.assertEqual(response.getheader("Content-Range"), f"bytes 1000-1999/{len(pak)}")
        self.assertEqual(body, pak[1000:2000])
        response, body = self.request("GET", "/update/data/pak0.pak?nocache=8",
                                      {"Range": f"bytes=0-9,{len(pak) - 5}-"})
        self.assertEqual(response.status, 206)
        self.assertTrue(response.getheader("Content-Type").startswith("multipart/byteranges"))
        self.assertIn(pak[:10], body)
        self.assertIn(f"Content-Range: bytes {len(pak) - 5}-{len(pak) - 1}/{len(pak)}".encode(), body)
        response, index = self.request("GET", "/blocks/data/pak0.pak.zbi?nocache=9")
        self.assertEqual(response.status, 200)
        self.assertEqual(index, self.published("blocks", "data", "pak0.pak.zbi"))
        self.assertEqual(index[:4], b"ZVBI")
        self.assertEqual(index[20:36], hashlib.md5(pak).digest())
        # Asked for with a copy's date: sent only when it is older than the index.
        dated = os.path.getmtime(os.path.join(SAMPLES, "published", "blocks", "data", "pak0.pak.zbi"))
        for copy, status in ((dated + 60, 304), (dated - 60, 200)):
            since = email.utils.formatdate(copy, usegmt=True)
            response, _ = self.request("GET", "/blocks/data/pak0.pak.zbi?nocache=10",
                                       {"If-Modified-Since": since})
            self.assertEqual(response.status, status, since)

    def test_bundles_come_as_single_ranges_of_the_bytes_that_name_them(self):
        rows = [r for r in json.loads(self.published("manifest_full.json"))["files"] if "zbundle" in r]
        self.assertGreater(len(rows), 2)
        for row in rows:
            with self.subTest(path=row["path"]):
                bundle = self.published("objects", row["zbundle"] + ".zbd")
                self.assertEqual(hashlib.sha256(bundle).hexdigest(), row["zbundle"])
                first, last = row["zboffset"], row["zboffset"] + row["zblength"] - 1
                response, body = self.request("GET", f"/objects/{row['zbundle']}.zbd?nocache=5",
                                              {"Range": f"bytes={first}-{last}",
                                               "Accept-Encoding": "gzip"})
                self.assertEqual(response.status, 206)
                self.assertEqual(response.getheader("Content-Range"),
                                 f"bytes {first}-{last}/{len(bundle)}")
                self.assertIsNone(response.getheader("Content-Encoding"))
                self.assertEqual(body, bundle[first:last + 1])

    def test_folders_and_unknown_paths_are_404_never_a_redirect(self):
        for path in ("/update/data", "/update/data/", "/update/", "/update", "/", "/index.html",
                     "/update/missing.bin", "/update/../../etc/passwd", "/manifest_full.json/",
                     "/.manifest_full.json.zarvo-publish-1.tmp", "/update/data/pak0.pak/x", "/blocks/", "/blocks/data",
                     "/objects/", "/objects"):
            with self.subTest(path=path):
                response, _ = self.request("GET", path + "?nocache=1")
                self.assertIn(response.status, (400, 404))
                self.assertIsNone(response.getheader("Location"))

    def test_only_get_and_head(self):
        for method in ("POST", "PUT", "DELETE", "OPTIONS"):
            with self.subTest(method=method):
                response, _ = self.request(method, "/manifest_full.json")
                self.assertEqual(response.status, 405)


if __name__ == "__main__":
    PORT, SAMPLES, CA = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1])

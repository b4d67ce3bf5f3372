"""The example service answers a few hundred requests from 4 threads, every
answer checked: tokens issued and verified, a PHP payload, digests."""
import importlib.util
import pathlib

import crypt_main

PATH = pathlib.Path(__file__).resolve().parents[2] / "examples" / "service.py"


def test_service_under_four_threads():
    spec = importlib.util.spec_from_file_location("service", str(PATH))
    service = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(service)
    server = service.serve(crypt_main.TarvikCryptMain(), stats=True)
    try:
        service.drive(server.server_address[1], 300, threads=4)
        assert service.request(server.server_address[1], "GET", "/nowhere")[0] == 404
    finally:
        server.shutdown()
        server.server_close()

"""python -m detection_service [--port N] (--secret KEY [--username NAME] | --accept-any-token) [--instance-id ID]"""

import argparse

from detection_service.runner import serve_forever


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m detection_service", description=__doc__)
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: a free one)")
    parser.add_argument("--secret", default=None, help="the API key (or password) tokens are issued for")
    parser.add_argument("--username", default=None, help="the user name tokens are issued for (on premises)")
    parser.add_argument("--instance-id", default=None, help="the only governance instance id accepted")
    parser.add_argument("--accept-any-token", action="store_true", help="skip the bearer token check")
    parser.add_argument("--no-request-log", action="store_true", help="keep no log of the requests (load runs)")
    args = parser.parse_args()
    serve_forever(args.port, args.secret, args.username, args.instance_id, args.accept_any_token,
                  keep_requests=not args.no_request_log)


if __name__ == "__main__":
    main()

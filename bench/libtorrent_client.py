#!/usr/bin/python3
# A libtorrent client for the benchmarks (Debian's python3-libtorrent, which is
# for the system python):
#   libtorrent_client.py seed|leech|crowd ADDRESS TORRENT FOLDER [WEB_SEED_URL...]
# (an IPv6 ADDRESS in brackets)
# seed keeps seeding FOLDER's copy; leech downloads into FOLDER and exits when
# the file is complete; crowd downloads, prints "complete" when the file is,
# and then seeds until killed.
import sys
import time

import libtorrent as lt

mode, address, torrent, folder, web_seeds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
# An IPv6 address comes in brackets, as listen_interfaces wants it.
session = lt.session({"listen_interfaces": address + ":0", "outgoing_interfaces": address.strip("[]"),
                      "enable_dht": False, "enable_lsd": False, "enable_upnp": False,
                      "enable_natpmp": False, "alert_mask": 0})
params = lt.add_torrent_params()
params.ti = lt.torrent_info(torrent)
params.save_path = folder
params.url_seeds = web_seeds
if mode == "seed":
    params.flags |= lt.torrent_flags.seed_mode
handle = session.add_torrent(params)
while mode == "seed" or not handle.status().is_seeding:
    time.sleep(0.05)
if mode == "crowd":
    print("complete", flush=True)
    while True:
        time.sleep(1)

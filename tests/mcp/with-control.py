#!/usr/bin/env python3
"""Runs a command with a connection to a Unix socket on descriptor 3, where the simulated
desktop's control thread (--sim-control 3) reads commands and answers them.

Usage: with-control.py SOCKET COMMAND [ARGUMENTS...]"""
import os
import socket
import sys

connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
connection.connect(sys.argv[1])
if connection.fileno() != 3:
    os.dup2(connection.fileno(), 3)
os.set_inheritable(3, True)  # kept open across exec, for the server's helpers to inherit
os.execv(sys.argv[2], sys.argv[2:])

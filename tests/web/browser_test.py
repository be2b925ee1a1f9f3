#!/usr/bin/python3
"""The web console in a real browser (headless Chromium through Selenium), against the real
dtuconsoled, mosquitto and a field DTU publishing: a wrong password is refused, the login
shows the device list with the DTU online, its row follows the field live, and a lost
service shows as disconnected.
    browser_test.py BIN_DIR [SCREENSHOT_DIR]"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

DTU = "0000000000000001"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        if cond():
            return True
        time.sleep(0.1)
    return False


def main():
    bindir = os.path.abspath(sys.argv[1])
    shots = sys.argv[2] if len(sys.argv) > 2 else None
    work = tempfile.mkdtemp(prefix="dtu-browser-")
    broker_port, web_port = free_port(), free_port()
    with open(os.path.join(work, "mosquitto.conf"), "w") as f:
        f.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                + ("user root\n" if os.getuid() == 0 else ""))
    broker = subprocess.Popen(["mosquitto", "-c", os.path.join(work, "mosquitto.conf")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    etc = os.path.join(work, "etc")
    os.makedirs(etc)
    with open(os.path.join(etc, "center.ini"), "w") as f:
        f.write(f"[LINK]\nPort={broker_port}\n[VPORT]\nDir={work}/ports\n[LISTENER]\nPort=0\n"
                f"[STATUS]\nListen=127.0.0.1:{web_port}\n")
    with open(os.path.join(etc, "ftdb.ini"), "w") as f:
        f.write(f"Provider=SQLite;Data Source={work}/dtu.db")
    run = lambda *a, **k: subprocess.run([os.path.join(bindir, "dtudb"), *a], cwd=etc, check=True,
                                         stdout=subprocess.DEVNULL, **k)
    run("init")
    run("add", DTU, "123456", "--name", "1号泵站", "--port", "COM3")
    run("web-user", "add", "op", "--role", "operator", "--users", os.path.join(etc, "web-users"),
        input=b"operator password\n")
    sim = subprocess.Popen([os.path.join(bindir, "dtusim"), "--port", str(broker_port), "--ids", DTU, "--password", "123456",
                            "--mode", "quiet", "--beat", "0"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log = open(os.path.join(work, "service.log"), "wb")
    service = subprocess.Popen([os.path.join(bindir, "dtuconsoled"), "--config", etc], stderr=log)
    driver = None
    try:
        assert wait_for(lambda: "启动成功" in open(os.path.join(work, "service.log"), encoding="utf-8").read()), "no start"
        options = webdriver.ChromeOptions()
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,800",
                  "--lang=zh-CN"):
            options.add_argument(a)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        wait = WebDriverWait(driver, 15)
        url = f"http://127.0.0.1:{web_port}/"
        driver.get(url)
        wait.until(lambda d: d.find_element(By.ID, "loginForm").is_displayed())

        driver.find_element(By.ID, "user").send_keys("op")
        driver.find_element(By.ID, "password").send_keys("wrong password")
        driver.find_element(By.ID, "loginButton").click()
        wait.until(lambda d: d.find_element(By.ID, "loginError").text == "用户名或密码错误")
        if shots:
            driver.save_screenshot(os.path.join(shots, "web-login.png"))

        driver.find_element(By.ID, "user").clear()
        driver.find_element(By.ID, "user").send_keys("op")
        driver.find_element(By.ID, "password").send_keys("operator password")
        driver.find_element(By.ID, "loginButton").click()
        wait.until(lambda d: d.find_element(By.ID, "app").is_displayed())
        wait.until(lambda d: d.find_element(By.ID, "link").text == "已连接")
        row = lambda: driver.find_element(By.CSS_SELECTOR, f'tr[data-id="{DTU}"]')
        wait.until(lambda d: row().find_elements(By.TAG_NAME, "td")[2].text == "在线")
        assert row().find_elements(By.TAG_NAME, "td")[1].text == "1号泵站"
        assert driver.find_element(By.ID, "who").text == "op (操作员)"

        # The field sends: the row follows without a reload.
        subprocess.run(["mosquitto_pub", "-p", str(broker_port), "-q", "1", "-t", f"dtu/{DTU}/up", "-m", "HELLO"], check=True)
        wait.until(lambda d: row().find_elements(By.TAG_NAME, "td")[6].text == "1")
        if shots:
            driver.save_screenshot(os.path.join(shots, "web-devices.png"))

        # A hex frame from the DTU's panel reaches the field byte for byte.
        down = subprocess.Popen(["mosquitto_sub", "-p", str(broker_port), "-t", f"dtu/{DTU}/down", "-C", "1", "-W", "10",
                                 "-F", "%x"], stdout=subprocess.PIPE)
        time.sleep(0.5)
        row().click()
        wait.until(lambda d: d.find_element(By.ID, "dtuPanel").is_displayed())
        driver.find_element(By.ID, "sendHex").click()
        driver.find_element(By.ID, "sendBox").send_keys("01 03 00 00 00 01 84 0A")
        driver.find_element(By.ID, "sendButton").click()
        wait.until(lambda d: d.find_element(By.ID, "actionResult").text == "已执行")
        got = down.communicate(timeout=15)[0].decode().strip()
        assert got == "010300000001840a", got

        # The DTU's page: what "DTU详情" shows, with its charts and the CSV export.
        driver.find_element(By.ID, "detailsButton").click()
        wait.until(lambda d: d.find_element(By.ID, "details").is_displayed())
        wait.until(lambda d: "login" in d.find_element(By.ID, "eventTable").text)
        assert driver.find_element(By.ID, "onlineTitle").text.startswith("最近24小时在线时段"), driver.find_element(By.ID, "onlineTitle").text
        assert driver.find_elements(By.CSS_SELECTOR, "#timeline rect[fill='#2e7d32']"), "no online period drawn"
        driver.find_element(By.CSS_SELECTOR, '.range[data-hours="1"]').click()
        wait.until(lambda d: d.find_element(By.ID, "onlineTitle").text.startswith("最近1小时在线时段"))
        csv = driver.execute_async_script(
            "const done = arguments[0]; fetch(document.getElementById('eventsCsv').href).then(r => r.text()).then(done);")
        assert "login" in csv, csv
        if shots:
            driver.save_screenshot(os.path.join(shots, "web-details.png"))

        # The field's answer to "读取信号强度" shows in the messages, as in the window.
        driver.find_element(By.CSS_SELECTOR, 'button[data-action="signal"]').click()
        driver.find_element(By.CSS_SELECTOR, 'nav .tab[data-tab="messages"]').click()
        wait.until(lambda d: f"{DTU}信号=23" in d.find_element(By.ID, "display").text)
        wait.until(lambda d: "网页操作: 用户 op 读取信号强度" in d.find_element(By.ID, "log").text)
        if shots:
            driver.save_screenshot(os.path.join(shots, "web-messages.png"))

        # The page tells the truth when the service goes away.
        service.send_signal(signal.SIGTERM)
        service.wait(10)
        wait.until(lambda d: d.find_element(By.ID, "link").text == "已断开，正在重连…")
        print("browser: login refused and accepted, device online, live row, hex send byte-exact, signal read, "
              "disconnection shown")
    finally:
        if driver:
            driver.quit()
        if service.poll() is None:
            service.kill()
        sim.kill()
        broker.kill()
        broker.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

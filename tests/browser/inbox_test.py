#!/usr/bin/python3
"""The relay's pages in a real headless chromium, against the page fixture (a relay's HTTP
side on a SQLite store, fed messages on stdin).

    /usr/bin/python3 tests/browser/inbox_test.py --fixture build/bin/http_fixture

With FANOUT_SCREENSHOT=PATH set, the inbox with its Chinese messages is also saved there
as a PNG (docs/inbox.png is made that way).
"""

import argparse
import base64
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

from selenium import webdriver
from selenium.common.exceptions import (NoAlertPresentException,
                                        StaleElementReferenceException, TimeoutException)
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait

FIXTURE = None
WAIT_SECONDS = 15
CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
                  '--no-first-run', '--disable-background-networking',
                  '--disable-component-update', '--disable-sync']

# Each payload tries to run script or add an element; none may.
XSS_TITLE = '<img src=x onerror="window.__xss=1;alert(1)">'
XSS_CONTENT = '<script>window.__xss=2;alert(2)</script><b id="injected">bold</b>'
XSS_NAME = '<svg onload="window.__xss=3">.txt'


def png(width, height, rgb):
    """A plain-coloured PNG picture."""
    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))
    row = b'\x00' + bytes(rgb) * width
    return (b'\x89PNG\r\n\x1a\n' +
            chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(row * height)) + chunk(b'IEND', b''))


class Fixture:
    """The page fixture as a child process: its URL, and commands on its stdin."""

    def __init__(self, folder, token=''):
        args = [FIXTURE, '--store', os.path.join(folder, 'relay.db'),
                '--config-key', 'ops-file-key']
        if token:
            args += ['--token', token]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, encoding='utf-8')
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith('http://'):
            raise RuntimeError('the fixture did not start: %r' % self.url)

    def command(self, command):
        self.process.stdin.write(json.dumps(command) + '\n')
        self.process.stdin.flush()
        answer = json.loads(self.process.stdout.readline())
        if 'error' in answer:
            raise RuntimeError('fixture: ' + answer['error'])
        return answer

    def insert(self, **message):
        return self.command({'insert': message})['id']

    def close(self):
        """Ends the fixture; it must stop cleanly (no sanitizer report, no hang)."""
        self.process.stdin.close()
        try:
            status = self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise
        if status != 0:
            raise RuntimeError('the fixture exited with status %d' % status)


def new_browser(profile, downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    options.add_argument('--user-data-dir=' + profile)
    options.add_argument('--window-size=1280,900')
    options.add_argument('--lang=zh-CN')
    options.add_experimental_option('prefs', {'download.default_directory': downloads,
                                              'download.prompt_for_download': False})
    driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
    driver.set_page_load_timeout(WAIT_SECONDS)
    driver.execute_cdp_cmd('Page.setDownloadBehavior',
                           {'behavior': 'allow', 'downloadPath': downloads})
    return driver


class PagesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix='fanout-pages-')
        cls.downloads = os.path.join(cls.folder, 'downloads')
        os.mkdir(cls.downloads)
        cls.fixture = Fixture(cls.folder)
        cls.attachment = bytes(range(256)) + '附件内容\n'.encode('utf-8')
        cls.ids = {
            'mail': cls.fixture.insert(
                channel='mail', title='周报：本周进展', content='各位好，\n本周完成了发布。',
                receivers='alice;bob', cc=['carol'], sender='qem_mail',
                attachments=[{'name': '数据 report.bin',
                              'data_base64': base64.b64encode(cls.attachment).decode()}]),
            'sms': cls.fixture.insert(channel='sms', content='验证码 123456，五分钟内有效',
                                      receivers='dave'),
            'zeph': cls.fixture.insert(channel='zeph', title='告警：磁盘将满', content='/var 95%',
                                       receivers='ops', status='queued'),
            'lumo': cls.fixture.insert(channel='lumo', content='看看这张图', receivers='erin',
                                       image_base64=base64.b64encode(
                                           png(48, 32, (220, 80, 40))).decode()),
        }
        cls.fixture.command({'fail': cls.ids['zeph']})
        cls.driver = new_browser(os.path.join(cls.folder, 'profile'), cls.downloads)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.fixture.close()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def wait(self, condition, what):
        # The list is redrawn as events arrive: a row found just before a redraw is stale,
        # and the condition is simply tried again.
        try:
            stale = (StaleElementReferenceException,)
            return WebDriverWait(self.driver, WAIT_SECONDS,
                                 ignored_exceptions=stale).until(condition)
        except TimeoutException:
            self.fail('waited %d s for %s' % (WAIT_SECONDS, what))

    def open(self, path):
        self.driver.get(self.fixture.url + path)

    def row_texts(self):
        return [row.text for row in self.driver.find_elements(By.CSS_SELECTOR, '#list li')]

    def assert_no_script_ran(self):
        try:
            alert = self.driver.switch_to.alert
            self.fail('a script ran and raised an alert: ' + alert.text)
        except NoAlertPresentException:
            pass
        self.assertIsNone(self.driver.execute_script('return window.__xss'))
        self.assertEqual([], self.driver.find_elements(By.CSS_SELECTOR,
                                                       'img[src="x"], svg, #injected'))

    def test_inbox_lists_chinese_titles(self):
        self.open('/')
        self.wait(lambda d: len(self.row_texts()) >= len(self.ids), 'every message listed')
        text = '\n'.join(self.row_texts())
        for piece in ['周报：本周进展', '验证码 123456，五分钟内有效', '告警：磁盘将满', '看看这张图']:
            self.assertIn(piece, text)
        self.wait(lambda d: d.find_element(By.ID, 'live').text == 'live', 'the live stream')
        # Channel tab: only the mail.
        self.driver.find_element(By.CSS_SELECTOR, '#tabs button[data-channel="sms"]').click()
        self.wait(lambda d: len(self.row_texts()) == 1, 'the sms tab')
        self.assertIn('验证码', self.row_texts()[0])
        if os.environ.get('FANOUT_SCREENSHOT'):
            self.driver.find_element(By.CSS_SELECTOR, '#tabs button[data-channel=""]').click()
            self.wait(lambda d: len(self.row_texts()) >= len(self.ids), 'all messages again')
            self.driver.save_screenshot(os.environ['FANOUT_SCREENSHOT'])

    def test_search_finds_by_text(self):
        self.open('/')
        self.wait(lambda d: len(self.row_texts()) >= len(self.ids), 'every message listed')
        self.driver.find_element(By.ID, 'search').send_keys('磁盘')
        self.wait(lambda d: len(self.row_texts()) == 1, 'the search result')
        self.assertIn('告警：磁盘将满', self.row_texts()[0])

    def test_message_page_shows_text_and_image(self):
        self.open('/messages/%d' % self.ids['lumo'])
        image = self.driver.find_element(By.ID, 'image')
        self.wait(lambda d: d.execute_script(
            'return arguments[0].complete && arguments[0].naturalWidth', image) == 48,
            'the image shown')
        self.assertEqual('看看这张图', self.driver.find_element(By.ID, 'content').text)
        self.open('/messages/%d' % self.ids['mail'])
        content = self.wait(EC.visibility_of_element_located((By.ID, 'content')), 'the text')
        self.assertEqual('各位好，\n本周完成了发布。', content.text)
        self.assertEqual('周报：本周进展', self.driver.find_element(By.ID, 'title').text)
        fields = self.driver.find_element(By.ID, 'fields').text
        for piece in ['alice, bob', 'carol', 'qem_mail', 'captured']:
            self.assertIn(piece, fields)

    def test_attachment_link_downloads_the_exact_bytes(self):
        self.open('/messages/%d' % self.ids['mail'])
        link = self.wait(EC.element_to_be_clickable((By.CSS_SELECTOR, 'a.attachment')),
                         'the attachment link')
        self.assertEqual('数据 report.bin', link.text)
        link.click()
        target = os.path.join(self.downloads, '数据 report.bin')
        self.wait(lambda d: os.path.exists(target) and
                  os.path.getsize(target) == len(self.attachment), 'the download')
        with open(target, 'rb') as downloaded:
            self.assertEqual(self.attachment, downloaded.read())

    def test_failed_message_can_be_retried(self):
        self.open('/messages/%d' % self.ids['zeph'])
        button = self.wait(EC.element_to_be_clickable((By.ID, 'retry')), 'the retry button')
        self.assertIn('550 5.1.1', self.driver.find_element(By.ID, 'deliveries').text)
        button.click()
        self.wait(lambda d: 'queued' in d.find_element(By.ID, 'fields').text, 'status queued')
        self.assertFalse(self.driver.find_element(By.ID, 'retry').is_displayed())

    def test_new_message_appears_without_reload(self):
        self.open('/')
        self.wait(lambda d: d.find_element(By.ID, 'live').text == 'live', 'the live stream')
        self.wait(lambda d: len(self.row_texts()) >= len(self.ids), 'the list')
        self.driver.execute_script('window.__sameDocument = true;')
        new_id = self.fixture.insert(channel='zeph', title='新消息：部署完成', content='v2.1',
                                     receivers='ops')
        self.wait(lambda d: any('新消息：部署完成' in t for t in self.row_texts()),
                  'the new message in the list')
        self.assertTrue(self.driver.execute_script('return window.__sameDocument'))
        first = self.driver.find_element(By.CSS_SELECTOR, '#list li')
        self.assertEqual(str(new_id), first.get_attribute('data-id'))

    def test_key_registered_on_the_page_is_listed(self):
        self.open('/keys')
        self.wait(lambda d: 'ops-file-key' in d.find_element(By.ID, 'keys').text,
                  'the key from the file')
        self.driver.find_element(By.ID, 'key-receivers').send_keys('alice;bob')
        self.driver.find_element(By.ID, 'key-subject').send_keys('值班通知')
        self.driver.find_element(By.CSS_SELECTOR, 'input[name=channel][value=sms]').click()
        self.driver.find_element(By.CSS_SELECTOR, '#key-form button[type=submit]').click()
        created = self.wait(EC.visibility_of_element_located((By.ID, 'created')),
                            'the new key')
        key_id = created.find_element(By.TAG_NAME, 'code').text
        self.assertGreaterEqual(len(key_id), 16)
        row = self.wait(EC.presence_of_element_located(
            (By.CSS_SELECTOR, '#keys tr[data-id="%s"]' % key_id)), 'the key in the list')
        for piece in ['alice, bob', '值班通知', 'sms']:
            self.assertIn(piece, row.text)

    def test_payloads_show_as_text_and_never_run(self):
        xss_id = self.fixture.insert(channel='mail', title=XSS_TITLE, content=XSS_CONTENT,
                                     receivers='mallory',
                                     attachments=[{'name': XSS_NAME, 'data_base64': 'eA=='}])
        self.open('/')
        self.wait(lambda d: any(XSS_TITLE in t for t in self.row_texts()), 'the literal title')
        self.assert_no_script_ran()
        self.open('/messages/%d' % xss_id)
        self.wait(lambda d: d.find_element(By.ID, 'title').text == XSS_TITLE, 'the title')
        self.assertEqual(XSS_CONTENT, self.driver.find_element(By.ID, 'content').text)
        self.assertEqual(XSS_NAME,
                         self.driver.find_element(By.CSS_SELECTOR, 'a.attachment').text)
        time.sleep(0.5)  # an onerror or onload would have fired by now
        self.assert_no_script_ran()


class TokenTest(unittest.TestCase):
    """A relay with http_token: the pages ask for it and then work, live stream included."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix='fanout-token-')
        self.fixture = Fixture(self.folder, token='pässwörd 令牌')
        self.fixture.insert(channel='sms', content='需要令牌才能看到', receivers='zoe')
        self.driver = new_browser(os.path.join(self.folder, 'profile'), self.folder)

    def tearDown(self):
        self.driver.quit()
        self.fixture.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_pages_ask_for_the_token(self):
        wait = WebDriverWait(self.driver, WAIT_SECONDS)
        self.driver.get(self.fixture.url + '/')
        field = wait.until(EC.visibility_of_element_located((By.ID, 'token-input')))
        self.assertEqual([], self.driver.find_elements(By.CSS_SELECTOR, '#list li'))
        field.send_keys('pässwörd 令牌')
        self.driver.find_element(By.CSS_SELECTOR, '#token-form button').click()
        wait.until(lambda d: '需要令牌才能看到' in d.find_element(By.ID, 'list').text)
        wait.until(lambda d: d.find_element(By.ID, 'live').text == 'live')
        self.fixture.insert(channel='sms', content='实时推送', receivers='zoe')
        wait.until(lambda d: '实时推送' in d.find_element(By.ID, 'list').text)


def main():
    global FIXTURE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--fixture', required=True, help='the http_fixture program')
    args, rest = parser.parse_known_args()
    FIXTURE = os.path.abspath(args.fixture)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == '__main__':
    main()
